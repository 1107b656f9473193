#include "run/net_box_run.h"

#include <cstdio>

#include "core/exit.h"
#include "core/journal.h"
#include "core/messages.h"
#include "core/settings.h"
#include "image/pad.h"
#include "net/box_link.h"
#include "net/failures.h"
#include "net/framing.h"

namespace {

[[noreturn]] void fail(plat_socket s, NetFailure f) {
  std::fprintf(stderr, "%s\n", net_failure_text(f));
  note_shown_text(net_failure_english(f));
  shut_down_link(s);
  exit_run(1);
}

}  // namespace

int network_image_transfer(plat_socket s, const char* pad_path,
                           uint32_t pad_size, uint32_t version_word) {
  if (pad_load_patched(pad_path, pad_size, version_word, false) != 0) return 2;
  int sent = send_image_block(s, pad_size);
  if (sent == 2) return 3;
  if (sent != 0) return 1;
  std::printf("%s\n", message(46));
  std::printf("%s", message(47));
  std::printf("%s\n", message(46));
  return 0;
}

void network_box_update(plat_socket s) {
  if (box_hello(s) != 0) fail(s, kFailHello);

  BoxIdentity id;
  int r = read_box_identity(s, &id);
  if (r == 2) fail(s, kFailIdentityText);
  if (r != 1) fail(s, kFailIdentity);
  journal_set_box_version(id.major, id.minor);

  if (!identity_fits(id, g_settings.version_word)) {
    print_identity_mismatch(id, g_settings.version_word);
    shut_down_link(s);
    exit_run(1);
  }

  r = network_image_transfer(s, g_settings.pad_path, g_settings.pad_size,
                             g_settings.version_word);
  if (r == 2) fail(s, kFailReload);
  if (r == 3) fail(s, kFailBrokeOff);
  if (r != 0) fail(s, kFailImageSend);
  journal_set_bytes_sent(g_settings.pad_size);

  shut_down_link(s);
  std::fprintf(stderr, "%s\n", message(98));
  exit_run(0);
}
