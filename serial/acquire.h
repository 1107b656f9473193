// Getting hold of a box's bootloader: opening its port for the keyword,
// waking, synchronising and identifying it, within the run's retry budget.
#pragma once
#include <cstdint>

#include "platform/serial.h"
#include "serial/sync.h"

struct RunSettings;

// Opens the port of g_settings.com_port at the opening speed for a box.
// Ends the run (message 41) when it cannot be opened.
plat_port open_box_port(const RunSettings& s);

// What a failed attempt to identify the bootloader leads to, by the error
// it ended with and the attempts left in the run's budget.
enum class AcquireStep {
  kRetry,          // a time-out: try again on the open port, one attempt spent
  kReopen,         // the device went away: reopen the port and try again, one spent
  kOutOfTimeOuts,  // a time-out with the budget spent: messages 61 and 62, the end
  kStaysGone,      // the device went away with the budget spent: message 62, the end
  kOtherError,     // any other error, which no retry mends: message 49, the end
};
AcquireStep acquire_retry_step(uint32_t error, int retries_left);

// Wakes, synchronises and identifies the bootloader, within the run's retry
// budget; ends the run when it is spent.
void acquire_bootloader(plat_port* port, VersionRecord* version, VersionRecord* second);

// Re-acquires the bootloader after a long network reception; no limit.
void resynchronise(plat_port port, VersionRecord* version, VersionRecord* second);
