// The last-error value lives per thread, like the Win32 one it stands in
// for. Failing POSIX calls store errno here, except for the two values the
// serial logic tests by number (see error.h).
#include "platform/error.h"

namespace {
thread_local uint32_t last_error = 0;
}  // namespace

uint32_t plat_last_error() { return last_error; }

void plat_set_last_error(uint32_t value) { last_error = value; }

// POSIX messages keep the folded value: their hang-up has always read 995.
uint32_t plat_last_driver_error() { return last_error; }
