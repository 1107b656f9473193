#include "platform/console.h"

#include <windows.h>

// Blocks for the length of the tone, as the caller expects.
void plat_beep(unsigned freq_hz, unsigned ms) { Beep(freq_hz, ms); }
