// The box network link: connection set-up and the box's commands.
#pragma once
#include <cstdint>

#include "platform/net.h"

// The computer's own name decides whether a greeting line is printed.
void computer_name_message(const char* name);

constexpr int kIdentityTextSize = 256;

// The box's answer to the identity request. Only major and minor matter.
struct BoxIdentity {
  uint8_t prefix[2];
  uint8_t major;
  uint8_t minor;
  uint8_t extra[3];
  uint8_t text[kIdentityTextSize];  // up to and including its zero byte
};

// Command 0x01. Returns 0 when acknowledged, 2 when the send failed or the
// answer was missing or not the acknowledge byte.
int box_hello(plat_socket s);

enum class IdentityRead {
  kRead,
  kFailed,         // at the first failed step; later steps are not made
  kTextUnbounded,  // 256 text bytes without the zero byte: the exchange
                   // fails there rather than read an unbounded text
};

// Command 0x02 and the record, then our acknowledge.
IdentityRead read_box_identity(plat_socket s, BoxIdentity* id);

// The box fits when its major and minor, each taken as a signed byte,
// equal the high and the low half of `version_word`; so a byte of 0x80 or
// more never fits.
bool identity_fits(const BoxIdentity& id, uint32_t version_word);

// The message 68 line and the two version lines, on standard output.
void print_identity_mismatch(const BoxIdentity& id, uint32_t version_word);

enum class BlockSend {
  kDelivered,  // everything went out and the box replied, or closed in
               // order after its stack had acknowledged the whole block
  kNotSent,    // something did not go out
  kBrokeOff,   // the box broke the connection off (a reset), or closed
               // while bytes of the block were still unacknowledged: the
               // image has not (or may not have) arrived
};

// Command 0x09: the length, the first `length` bytes of the image buffer,
// then the box's one reply byte, awaited but not judged.
BlockSend send_image_block(plat_socket s, uint32_t length);
