// The network box update run: one box over its network update service.
#pragma once
#include <cstdint>

#include "platform/net.h"

// hello, identity, identity check, the PAD file as one block. Ends the run:
// 0 only when the block went out, 1 on every failure (with a line on
// standard error that says what failed) and on a box that does not fit.
[[noreturn]] void network_box_update(plat_socket s);

enum class ImageTransfer {
  kDone,
  kNotSent,       // the block did not go out
  kReloadFailed,  // the file could not be reloaded or is no longer the one
                  // the check accepted: nothing was sent
  kBrokeOff,      // the box broke the connection off after the block
};

// Reloads the PAD file with `version_word` written into it, sends it with
// send_image_block and prints the done lines.
ImageTransfer network_image_transfer(plat_socket s, const char* pad_path, uint32_t pad_size,
                                     uint32_t version_word);
