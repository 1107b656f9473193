// The operator's side: signals, the catalogue's reload and the stop.
#pragma once
#include "server/state.h"

// Loads the catalogue anew and serves it when it is whole; reopens the log.
void reload(State* s);

// Stops listening and lets the connections drain (see sweep).
void begin_stop(State* s);

// SIGHUP reloads, SIGTERM and SIGINT stop.
asio::awaitable<void> signals(State* s);
