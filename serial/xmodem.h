// XMODEM (128-byte blocks, 8-bit checksum) from the image buffer, and the
// two procedures built on it.
#pragma once
#include <cstdint>

#include "platform/serial.h"

constexpr uint32_t kFillerLength = 400;

// Sends image buffer bytes 0 .. length-1. Returns 0 on success, 1 on
// failure; `*acked` receives the image bytes the box acknowledged (the
// final block counts only its image bytes).
int send_image(plat_port port, uint32_t length, uint32_t* acked);

// "Now start download", load (patched when `patch`), send, "finished!".
// Returns 0 on success, 1 on failure; `*acked` as send_image.
int download(plat_port port, const char* pad_path, uint32_t length, uint32_t version_word,
             bool patch, bool prefilled, uint32_t* acked);

// Releases a waiting bootloader with the 400-byte filler block. Returns 0 on
// success, 1 on failure.
int send_filler_block(plat_port port);
