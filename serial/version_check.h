// The serial version check: may this box take the image, and with which
// version words.
#pragma once
#include <cstdint>

#include "platform/serial.h"
#include "serial/sync.h"

// Compares the box version word (major << 16) + minor with `*version_word`.
// A box reporting FFFF.FFFF sets `*patch` and takes the image's version;
// a differing box without `*patch` gets message 68 and the filler block,
// and the run ends with exit code 1. Prints message 57 (and 107 with
// `show_second`). With `*patch` set, `*version_word` becomes the version
// the image is patched to.
void check_box_version(plat_port port, uint32_t* version_word, uint16_t* major, uint16_t* minor,
                       bool* patch, bool show_second, const VersionRecord& second);
