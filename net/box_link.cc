#include "net/box_link.h"

#include <cstdio>
#include <cstring>

#include "core/messages.h"
#include "core/report.h"
#include "net/framing.h"

namespace {

constexpr uint8_t kCmdHello = 0x01;
constexpr uint8_t kCmdIdentity = 0x02;
constexpr uint8_t kCmdImage = 0x09;

constexpr char kKnownComputer[] = "BORVANE";

// The signed reading of a box identity byte, widened as the mismatch lines
// show it (0x95 becomes ffffff95).
unsigned widened(uint8_t b) {
  return static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(b)));
}

}  // namespace

void computer_name_message(const char* name) {
  if (std::strncmp(name, kKnownComputer, sizeof kKnownComputer - 1) == 0)
    std::printf("Aetschi, baetsch, jetzt hast Du doch eine neue Version  benutzt\n");
}

int box_hello(plat_socket s) {
  if (!send_byte(s, kCmdHello)) return 2;
  return receive_acknowledge(s) ? 0 : 2;
}

IdentityRead read_box_identity(plat_socket s, BoxIdentity* id) {
  if (!send_byte(s, kCmdIdentity) || !receive_acknowledge(s)) return IdentityRead::kFailed;
  for (uint8_t& b : id->prefix)
    if (!receive_byte(s, &b)) return IdentityRead::kFailed;
  if (!receive_byte(s, &id->major) || !receive_byte(s, &id->minor)) return IdentityRead::kFailed;
  for (uint8_t& b : id->extra)
    if (!receive_byte(s, &b)) return IdentityRead::kFailed;
  std::memset(id->text, 0xFF, sizeof id->text);
  bool ended = false;
  for (uint8_t& b : id->text) {
    if (!receive_byte(s, &b)) return IdentityRead::kFailed;
    if (b == 0) {
      ended = true;
      break;
    }
  }
  if (!ended) return IdentityRead::kTextUnbounded;
  return send_acknowledge(s) ? IdentityRead::kRead : IdentityRead::kFailed;
}

bool identity_fits(const BoxIdentity& id, uint32_t version_word) {
  return static_cast<int8_t>(id.major) == static_cast<int32_t>(version_word >> 16) &&
         static_cast<int8_t>(id.minor) == static_cast<int32_t>(version_word & 0xFFFF);
}

void print_identity_mismatch(const BoxIdentity& id, uint32_t version_word) {
  unsigned major = widened(id.major), minor = widened(id.minor);
  report_failure(stdout, kNoCode, {68}, " (0x%8.8lx != 0x%4.4x%4.4x)\n",
                 static_cast<unsigned long>(version_word), major, minor);
  std::printf("Version in padFile: 0x%8.8lx\n", static_cast<unsigned long>(version_word));
  std::printf("Version in Box:     0x%4.4x%4.4x\n", major, minor);
}

BlockSend send_image_block(plat_socket s, uint32_t length) {
  // Stop at the first byte that does not go out: the box could not make
  // sense of the rest, and its reply would never come.
  if (!send_byte(s, kCmdImage)) return BlockSend::kNotSent;
  for (int shift = 24; shift >= 0; shift -= 8)
    if (!send_byte(s, static_cast<uint8_t>(length >> shift))) return BlockSend::kNotSent;
  if (!send_block(s, length)) return BlockSend::kNotSent;
  // Any byte, or an orderly close, is the box's "done". A reset is not: a
  // block that went into the kernel's buffers need not have reached it.
  // Nor is a close while the box's stack still owes the acknowledgement of
  // part of the block: those bytes never got into the box.
  uint8_t reply;
  int r = receive_byte_or_close(s, &reply);
  if (r < 0 || (r == 0 && plat_socket_unsent(s) > 0)) return BlockSend::kBrokeOff;
  return BlockSend::kDelivered;
}
