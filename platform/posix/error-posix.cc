// The last-error value lives per thread, like the Win32 one it stands in
// for. Failing POSIX calls store errno here, except for the two values the
// serial logic tests by number (see error.h).
#include "platform/error.h"

#include <cstring>

namespace {
thread_local uint32_t last_error = 0;
}  // namespace

uint32_t plat_last_error() { return last_error; }

void plat_set_last_error(uint32_t value) { last_error = value; }

// POSIX messages keep the folded value: their hang-up has always read 995.
uint32_t plat_last_driver_error() { return last_error; }

const char* plat_error_text(uint32_t err) {
  // Values of our own in place of errno, chosen by their Windows numbers.
  switch (err) {
    case kErrWriteTimeout: return "write time-out";
    case kErrReadAborted: return "the device hung up or failed";
    case kErrRateRefused: return "line speed not taken";
    default: return std::strerror(static_cast<int>(err));
  }
}
