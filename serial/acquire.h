// Getting hold of a box's bootloader: opening its port for the keyword,
// waking, synchronising and identifying it, within the run's retry budget.
#pragma once
#include "platform/serial.h"
#include "serial/sync.h"

struct RunSettings;

// Opens the port of g_settings.com_port at the opening speed for a box.
// Ends the run (message 41) when it cannot be opened.
plat_port open_box_port(const RunSettings& s);

// Wakes, synchronises and identifies the bootloader, within the run's retry
// budget; ends the run when it is spent.
void acquire_bootloader(plat_port* port, VersionRecord* version,
                        VersionRecord* second);

// Re-acquires the bootloader after a long network reception; no limit.
void resynchronise(plat_port port, VersionRecord* version, VersionRecord* second);
