// Inside the Win32 backend only: how the serial calls leave a folded error
// so that plat_last_driver_error() can still give the driver's own code.
#pragma once
#include <cstdint>

// Sets the last error to `folded` and keeps `raw`, the code the failing
// call reported, beside it until the last error changes.
void win32_set_folded_error(uint32_t raw, uint32_t folded);
