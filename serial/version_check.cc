#include "serial/version_check.h"

#include <cstdio>

#include "core/exit.h"
#include "core/messages.h"
#include "core/report.h"
#include "serial/xmodem.h"

void check_box_version(plat_port port, uint32_t* version_word, uint16_t* major, uint16_t* minor,
                       bool* patch, bool show_second, const VersionRecord& second) {
  const uint32_t box = ((uint32_t)*major << 16) + *minor;
  if (*version_word != box) {
    // FFFF.FFFF is a box without a programmed version: it takes any image.
    if (box == 0xFFFFFFFFu) *patch = true;
    if (!*patch) {
      report_failure(stdout, kNoCode, {68}, " (0x%8.8lx != 0x%8.8lx)\n",
                     (unsigned long)*version_word, (unsigned long)box);
      // The bootloader waits for an image; the filler block releases it.
      send_filler_block(port);
      exit_run(1);
    }
  }
  std::printf("%s %i.%i\n", message(57), *major, *minor);
  if (show_second) std::printf("%s %i.%i\n", message(107), second.major, second.minor);
  if (*major == 0xFFFF && *minor == 0xFFFF) {
    *major = (uint16_t)(*version_word >> 16);
    *minor = (uint16_t)(*version_word & 0xFFFF);
    std::printf("%s %i.%i\n", message(57), *major, *minor);
  }
  if (*patch) *version_word = ((uint32_t)*major << 16) + *minor;
}
