#include "platform/clock.h"
#include "tests/fakes/fake_platform.h"

static uint32_t g_now = 1000;
static uint32_t g_slept = 0;

void fake_clock_set(uint32_t ms) {
  g_now = ms;
  g_slept = 0;
}
void fake_clock_advance(uint32_t ms) { g_now += ms; }
uint32_t fake_clock_now() { return g_now; }
uint32_t fake_clock_slept() { return g_slept; }

uint32_t plat_now_ms() { return g_now; }

void plat_sleep_ms(uint32_t ms) {
  g_now += ms;
  g_slept += ms;
}
