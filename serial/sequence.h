// The serial update sequence, once per box.
#pragma once
#include "platform/net.h"
#include "platform/serial.h"
#include "serial/sync.h"

// Updates the box(es) on g_settings.com_port; `server` is the open update
// server connection in a server run, kNoSocket otherwise. Ends the run.
[[noreturn]] void serial_update(plat_socket server);

// Wakes, synchronises and identifies the bootloader, within the run's retry
// budget; ends the run when it is spent.
void acquire_bootloader(plat_port* port, VersionRecord* version,
                        VersionRecord* second);

// Re-acquires the bootloader after a long network reception; no limit.
void resynchronise(plat_port port, VersionRecord* version, VersionRecord* second);
