// The update server: answers the tool's greeting, its version query and its
// size request, which the software itself follows, with the fault the
// options stage.
#pragma once
#include "tools/netsim/conn.h"
#include "tools/netsim/options.h"

// Serves the tool on `c` until it closes or we hang up.
void serve_server(const Config& o, Conn* c);
