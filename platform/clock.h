// Millisecond clock and sleep. The clock is monotonic and wraps at 2^32;
// compare readings only by unsigned difference.
#pragma once
#include <cstdint>

uint32_t plat_now_ms();
void plat_sleep_ms(uint32_t ms);
