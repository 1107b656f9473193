#include "run/net_box_run.h"

#include <cstdio>

#include "core/exit.h"
#include "core/messages.h"
#include "core/phase.h"
#include "core/settings.h"
#include "image/pad.h"
#include "net/box_link.h"
#include "net/failures.h"
#include "net/framing.h"
#include "run/attempt.h"
#include "run/links.h"

namespace {

[[noreturn]] void fail(plat_socket s, NetFailure f) {
  report_net_failure(f);
  end_link_run(s, kNoPort, false, 1);
}

}  // namespace

ImageTransfer network_image_transfer(plat_socket s, const char* pad_path, uint32_t pad_size,
                                     uint32_t version_word) {
  if (pad_load_patched(pad_path, pad_size, version_word, false) != 0)
    return ImageTransfer::kReloadFailed;
  phase_set(Phase::kDownload);
  BlockSend sent = send_image_block(s, pad_size);
  if (sent == BlockSend::kBrokeOff) return ImageTransfer::kBrokeOff;
  if (sent == BlockSend::kNotSent) return ImageTransfer::kNotSent;
  std::printf("%s\n", message(46));
  std::printf("%s", message(47));
  std::printf("%s\n", message(46));
  return ImageTransfer::kDone;
}

void network_box_update(plat_socket s) {
  phase_set(Phase::kIdentify);
  if (box_hello(s) != 0) fail(s, kFailHello);

  BoxIdentity id;
  IdentityRead r = read_box_identity(s, &id);
  if (r == IdentityRead::kTextUnbounded) fail(s, kFailIdentityText);
  if (r == IdentityRead::kFailed) fail(s, kFailIdentity);
  attempt_box(id.major, id.minor);

  if (!identity_fits(id, g_settings.version_word)) {
    print_identity_mismatch(id, g_settings.version_word);
    end_link_run(s, kNoPort, false, 1);
  }

  switch (network_image_transfer(s, g_settings.pad_path, g_settings.pad_size,
                                 g_settings.version_word)) {
    case ImageTransfer::kReloadFailed: fail(s, kFailReload);
    case ImageTransfer::kBrokeOff: fail(s, kFailBrokeOff);
    case ImageTransfer::kNotSent: fail(s, kFailImageSend);
    case ImageTransfer::kDone: break;
  }
  attempt_bytes_sent(g_settings.pad_size);

  shut_down_link(s);
  std::fprintf(stderr, "%s\n", message(98));
  exit_run(0);
}
