#include "run/server_run.h"

#include <cstdio>

#include "core/exit.h"
#include "core/messages.h"
#include "core/phase.h"
#include "core/report.h"
#include "core/settings.h"
#include "image/pad.h"
#include "net/failures.h"
#include "net/framing.h"
#include "net/server_client.h"
#include "run/attempt.h"
#include "run/links.h"
#include "run/trust.h"
#include "image/signature.h"
#include "serial/acquire.h"
#include "serial/port.h"
#include "serial/sync.h"
#include "serial/xmodem.h"

namespace {

constexpr char kServerImageName[] = "dummy";

// Ends a server run that found nothing to load.
[[noreturn]] void finish(plat_socket s, plat_port port, int code) {
  end_link_run(s, port, true, code);
}

// The version the server answered, for the record; 0.0.0 is none.
void note_version(const uint8_t v[3]) {
  if (v[0] == 0 && v[1] == 0 && v[2] == 0) return;
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u", v[0], v[1], v[2]);
  attempt_software_version(text);
}

[[noreturn]] void fail(plat_socket s, plat_port port, NetFailure f) {
  report_net_failure(f);
  finish(s, port, 1);
}

}  // namespace

void server_exchange(plat_socket s, plat_port port, uint16_t* major, uint16_t* minor) {
  phase_set(Phase::kServer);
  if (!server_greet(s)) {
    report_failure(stderr, kNoCode, {100}, "\n");
    end_link_run(s, kNoPort, false, 1);
  }
  int channel = g_settings.channel;

  if (g_settings.server_command != 2) {
    uint8_t v[3];
    if (!server_query(s, channel, *major, *minor, v)) fail(s, port, kFailQueryAnswer);
    if (v[0] == 0 && v[1] == 0 && v[2] == 0) std::printf("%s\n", message(104));
    else std::printf("%s: %i.%i.%i\n", message(105), v[0], v[1], v[2]);
    note_version(v);
    // The box waits for an image; let it go. A failed release has closed
    // the port and told why: the run has failed.
    if (send_filler_block(port) != 0) end_link_run(s, kNoPort, true, 1);
    finish(s, port, 0);
  }

  // A station's run asks for the version too, which the size request does
  // not tell, and says whose attempt the download is, for the server's log;
  // without --station the exchange stays as it was.
  if (g_settings.station) {
    uint8_t v[3];
    if (!server_query(s, channel, *major, *minor, v)) fail(s, port, kFailQueryAnswer);
    note_version(v);
    if (!server_tell_attempt(s, g_settings.station, attempt_id())) fail(s, port, kFailSizeAnswer);
  }
  uint32_t size;
  if (!server_ask_size(s, channel, *major, *minor, &size)) fail(s, port, kFailSizeAnswer);
  SoftwareSize verdict = software_size_verdict(size);
  if (verdict == SoftwareSize::kNone) {
    std::printf("%s\n", message(104));
    finish(s, port, 0);
  }
  if (verdict == SoftwareSize::kTooBig) {
    report_failure(stderr, kNoCode, {102}, "\n");
    finish(s, port, 1);
  }
  std::printf("%s\n", message(105));

  uint32_t received;
  SoftwareFetch r = fetch_software(s, size, &received);
  if (r == SoftwareFetch::kBrokeOff) {
    std::printf("%30s\r", "");  // wipe the open progress line
    report_net_failure(kFailReception, received, size);
    finish(s, port, 1);
  }
  // Fetched software is held to the check a file passes: a damaged or
  // foreign file must not reach the box.
  if (!pad_buffer_check(size)) finish(s, port, 1);
  // A signed run: the software's manifest, asked for after it arrived,
  // must be a trusted key's over exactly these bytes.
  if (trust_on()) {
    std::string manifest;
    if (!server_ask_signature(s, channel, *major, *minor, kMaxManifest, &manifest)) {
      attempt_signature("no answer to the signature request", nullptr);
      const char* line = "Signature check of the server's software failed: no answer to 'S'";
      report_failure_text(stderr, kNoCode, line, line);
      finish(s, port, 1);
    }
    if (!trust_check_buffer(size, manifest)) finish(s, port, 1);
  }
  g_settings.image_from_server = true;
  std::snprintf(g_settings.pad_path, sizeof g_settings.pad_path, "%s", kServerImageName);
  g_settings.pad_size = size;

  if (r == SoftwareFetch::kSlow) {
    VersionRecord version = {*major, *minor, 0};
    VersionRecord second = {0, 0, 0};
    resynchronise(port, &version, &second);
    *major = version.major;
    *minor = version.minor;
  }
  server_goodbye(s);
  // The connection stays open: the next box greets again on it.
  g_settings.version_word = (static_cast<uint32_t>(*major) << 16) | *minor;
}
