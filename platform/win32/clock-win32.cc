#include "platform/clock.h"

#include <windows.h>
#include <mmsystem.h>

// Milliseconds since system start; wraps after 49.7 days, which callers
// handle by comparing unsigned differences.
uint32_t plat_now_ms() { return timeGetTime(); }

void plat_sleep_ms(uint32_t ms) { Sleep(ms); }
