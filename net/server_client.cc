#include "net/server_client.h"

#include <cstdio>
#include <cstring>

#include "image/image_buffer.h"
#include "net/framing.h"
#include "platform/clock.h"

namespace {

constexpr uint8_t kCmdGreeting = 'B';
constexpr uint8_t kCmdQuery = 'C';
constexpr uint8_t kCmdSize = 'D';
constexpr uint8_t kCmdGoodbye = 'Z';
constexpr uint8_t kCmdAttempt = 'A';
constexpr uint32_t kProgressStep = 1000;

// The command byte, the channel and the low 8 bits of the box's version;
// each send's result is left to the answer that should follow.
void send_request(plat_socket s, uint8_t command, int channel, uint16_t major, uint16_t minor) {
  send_byte(s, command);
  send_byte(s, static_cast<uint8_t>(channel));
  send_byte(s, static_cast<uint8_t>(major));
  send_byte(s, static_cast<uint8_t>(minor));
}

}  // namespace

int server_greet(plat_socket s) {
  uint8_t answer;
  return send_byte(s, kCmdGreeting) && receive_byte(s, &answer) ? 1 : 0;
}

int server_query(plat_socket s, int channel, uint16_t major, uint16_t minor, uint8_t version[3]) {
  send_request(s, kCmdQuery, channel, major, minor);
  for (int i = 0; i < 3; ++i)
    if (!receive_byte(s, &version[i])) return 0;
  return 1;
}

int server_ask_size(plat_socket s, int channel, uint16_t major, uint16_t minor, uint32_t* size) {
  send_request(s, kCmdSize, channel, major, minor);
  return receive_number(s, size);
}

int server_ask_signature(plat_socket s, int channel, uint16_t major, uint16_t minor, size_t max,
                         std::string* manifest) {
  manifest->clear();
  uint32_t length = 0;
  send_request(s, 'S', channel, major, minor);
  if (!receive_number(s, &length) || length > max) return 0;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t b = 0;
    if (!receive_byte(s, &b)) return 0;
    *manifest += static_cast<char>(b);
  }
  return 1;
}

SoftwareSize software_size_verdict(uint32_t size) {
  if (size == 0) return SoftwareSize::kNone;
  return size > kImageBufferSize ? SoftwareSize::kTooBig : SoftwareSize::kFits;
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

SoftwareFetch fetch_software(plat_socket s, uint32_t size, uint32_t* received) {
  uint32_t start = plat_now_ms();
  *received = receive_software(s, size);
  uint32_t took = plat_now_ms() - start;
  if (*received != size) return SoftwareFetch::kBrokeOff;
  return took > kReacquireAfterMs ? SoftwareFetch::kSlow : SoftwareFetch::kInTime;
}

int server_tell_attempt(plat_socket s, const char* station, const char* attempt) {
  size_t n = std::strlen(station);
  if (n > 255) n = 255;
  uint8_t buf[2 + 255 + kAttemptIdLength];
  buf[0] = kCmdAttempt;
  buf[1] = static_cast<uint8_t>(n);
  std::memcpy(buf + 2, station, n);
  std::memcpy(buf + 2 + n, attempt, kAttemptIdLength);
  size_t total = 2 + n + kAttemptIdLength;
  return plat_tcp_send(s, buf, total) == static_cast<long>(total) ? 1 : 0;
}

void server_goodbye(plat_socket s) { send_byte(s, kCmdGoodbye); }
