// The update protocol's listening sockets and their accept loops.
#pragma once
#include <string>

#include "server/state.h"

// Opens every --listen address into `s->acceptors` (0.0.0.0:4242 when none
// is given) and says so on standard error. Returns false after a line on
// standard error when one cannot be opened.
bool listen_open(State* s);

// Accepts connections on `a` and starts a session for each, until the
// server stops.
asio::awaitable<void> accept_loop(State* s, asio::ip::tcp::acceptor* a);
