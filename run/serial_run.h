// The serial update run: every box of a serial or update server run, from
// opening its port to the banner and the loop prompt.
#pragma once
#include "platform/net.h"

// Updates the box(es) on g_settings.com_port; `server` is the open update
// server connection in a server run, kNoSocket otherwise. Ends the run.
[[noreturn]] void serial_update(plat_socket server);
