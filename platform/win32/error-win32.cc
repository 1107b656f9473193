// The thread's Win32 last-error value itself: the serial logic tests the
// driver's own codes (1121, 995), which need no translation here.
#include "platform/error.h"

#include <windows.h>

uint32_t plat_last_error() { return GetLastError(); }

void plat_set_last_error(uint32_t value) { SetLastError(value); }
