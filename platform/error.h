// Per-thread last-error value, the one place a failed platform or serial
// operation leaves its reason for the caller to report.
#pragma once
#include <cstdint>

// Platform values the serial logic tests for by number, so it needs no
// OS-specific conditionals: a write the driver's write time-out cut short,
// and a read or write on a device that is gone or aborted the call (hang-up,
// unplugged adapter, I/O error). Every backend maps its own device-gone
// errors onto kErrReadAborted; the serial logic knows no other.
constexpr uint32_t kErrWriteTimeout = 1121;
constexpr uint32_t kErrReadAborted = 995;
// A line speed the device did not take: it runs at a clearly different rate
// than asked (Windows' ERROR_INVALID_PARAMETER, what a driver that refuses a
// rate outright reports).
constexpr uint32_t kErrRateRefused = 87;

uint32_t plat_last_error();
void plat_set_last_error(uint32_t value);

// The last error as the OS or driver gave it, before a backend folded it
// into kErrReadAborted: for messages that show the user what the driver
// said, while the logic goes on deciding by plat_last_error(). Where
// nothing was folded (and always on POSIX, whose folded value is what the
// messages have always shown) it is plat_last_error() itself.
uint32_t plat_last_driver_error();

// The system's own text for a last-error value ("No such file or
// directory"); the values above by what they stand for where the system
// has no text of its own for them.
const char* plat_error_text(uint32_t err);
