// The operator's side: signals, the catalogue's reload and the stop.
#pragma once
#include <string>

#include "server/state.h"

// A name from disk as a terminal may show it: a control character in a
// file name cannot move the cursor or retitle the window.
std::string shown(const std::string& text);

// Loads the catalogue and serves it when it is whole. Files left out, and
// a refusal after `refused_prefix`, go to standard error. Returns false
// when it was refused (the previous catalogue, if any, stays).
bool load_reported(State* s, const char* refused_prefix);

// Loads the catalogue anew and serves it when it is whole; reopens the log.
void reload(State* s);

// Stops listening and lets the connections drain (see sweep).
void begin_stop(State* s);

// SIGHUP reloads, SIGTERM and SIGINT stop.
asio::awaitable<void> signals(State* s);
