#include "net/server_client.h"

#include <cstdio>
#include <cstring>

#include "frontend/exit.h"
#include "frontend/messages.h"
#include "frontend/settings.h"
#include "image/image_buffer.h"
#include "net/failures.h"
#include "net/framing.h"
#include "platform/clock.h"
#include "serial/port.h"
#include "serial/sequence.h"
#include "serial/sync.h"
#include "serial/xmodem.h"

namespace {

constexpr uint8_t kCmdGreeting = 'B';
constexpr uint8_t kCmdQuery = 'C';
constexpr uint8_t kCmdSize = 'D';
constexpr uint8_t kCmdGoodbye = 'Z';
constexpr uint32_t kProgressStep = 1000;
constexpr char kServerImageName[] = "dummy";

// The command byte, the channel and the low 8 bits of the box's version;
// each send's result is left to the answer that should follow.
void send_request(plat_socket s, uint8_t command, int channel, uint16_t major,
                  uint16_t minor) {
  send_byte(s, command);
  send_byte(s, static_cast<uint8_t>(channel));
  send_byte(s, static_cast<uint8_t>(major));
  send_byte(s, static_cast<uint8_t>(minor));
}

// Ends a server run that found nothing to load.
[[noreturn]] void finish(plat_socket s, plat_port port, int code) {
  server_goodbye(s);
  shut_down_link(s);
  port_close(port);
  exit_run(code);
}

[[noreturn]] void fail(plat_socket s, plat_port port, NetFailure f) {
  std::fprintf(stderr, "%s\n", net_failure_text(f));
  finish(s, port, 1);
}

}  // namespace

int server_greet(plat_socket s) {
  uint8_t answer;
  return send_byte(s, kCmdGreeting) && receive_byte(s, &answer) ? 1 : 0;
}

int server_query(plat_socket s, int channel, uint16_t major, uint16_t minor,
                 uint8_t version[3]) {
  send_request(s, kCmdQuery, channel, major, minor);
  for (int i = 0; i < 3; ++i)
    if (!receive_byte(s, &version[i])) return 0;
  return 1;
}

int server_ask_size(plat_socket s, int channel, uint16_t major,
                    uint16_t minor, uint32_t* size) {
  send_request(s, kCmdSize, channel, major, minor);
  return receive_number(s, size);
}

uint32_t receive_software(plat_socket s, uint32_t size) {
  int last = -1;
  for (uint32_t i = 0; i < size; ++i) {
    if (!receive_byte(s, &g_image_buffer[i])) return i;
    if (i % kProgressStep == 0) {
      int p = static_cast<int>(i * 100u / size);
      if (p > last) {
        std::printf("%3d %% network transfer\r", p);
        last = p;
      }
    }
  }
  return size;
}

int fetch_software(plat_socket s, uint32_t size, uint32_t* received) {
  uint32_t start = plat_now_ms();
  *received = receive_software(s, size);
  uint32_t took = plat_now_ms() - start;
  if (*received != size) return 0;
  return took > kReacquireAfterMs ? 2 : 1;
}

void server_goodbye(plat_socket s) { send_byte(s, kCmdGoodbye); }

void server_exchange(plat_socket s, plat_port port, uint16_t* major,
                     uint16_t* minor) {
  if (!server_greet(s)) {
    std::fprintf(stderr, "%s\n", message(100));
    shut_down_link(s);
    exit_run(1);
  }
  int channel = g_settings.channel;

  if (g_settings.server_command != 2) {
    uint8_t v[3];
    if (!server_query(s, channel, *major, *minor, v)) fail(s, port, kFailQueryAnswer);
    if (v[0] == 0 && v[1] == 0 && v[2] == 0)
      std::printf("%s\n", message(104));
    else
      std::printf("%s: %i.%i.%i\n", message(105), v[0], v[1], v[2]);
    // The box waits for an image; let it go. A failed release has closed
    // the port and told why: the run has failed.
    if (send_filler_block(port) != 0) {
      server_goodbye(s);
      shut_down_link(s);
      exit_run(1);
    }
    finish(s, port, 0);
  }

  uint32_t size;
  if (!server_ask_size(s, channel, *major, *minor, &size)) fail(s, port, kFailSizeAnswer);
  if (size == 0) {
    std::printf("%s\n", message(104));
    finish(s, port, 0);
  }
  if (size > kImageBufferSize) {
    std::fprintf(stderr, "%s\n", message(102));
    finish(s, port, 1);
  }
  std::printf("%s\n", message(105));

  uint32_t received;
  int r = fetch_software(s, size, &received);
  if (r == 0) {
    std::printf("%30s\r", "");  // wipe the open progress line
    std::fprintf(stderr, net_failure_text(kFailReception),
                 static_cast<unsigned long>(received), static_cast<unsigned long>(size));
    std::fprintf(stderr, "\n");
    finish(s, port, 1);
  }
  g_settings.image_from_server = true;
  std::snprintf(g_settings.pad_path, sizeof g_settings.pad_path, "%s", kServerImageName);
  g_settings.pad_size = size;

  if (r == 2) {
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
