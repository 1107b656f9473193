// One connection's limits and sends, and the sweep that enforces the limits
// of all of them.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "server/state.h"

double seconds_since(State* s, Clock::time_point t);

// Counts the exchange for /metrics and writes its line to the request log.
void note_exchange(State* s, const Exchange& x);

// The deadline for the next command (the connection idle from now), for
// the rest of a command's bytes after its first, and for progress within
// an exchange.
void arm_idle(State* s, Connection* c);
void arm_command(State* s, Connection* c);
void arm_progress(State* s, Connection* c);

// What the log says for an operation that ended with `ec`.
std::string reason_of(Connection* c, const asio::error_code& ec);

// Writes both buffers whole, each step of progress renewing the deadline.
// Counts what went out in `*sent`. Returns the error, or success.
asio::awaitable<asio::error_code> send_all(State* s, Connection* c,
                                           std::array<asio::const_buffer, 2> b, uint64_t* sent);

// Four times a second: connections past their deadline are closed, and a
// stopping server ends when the last one has gone.
asio::awaitable<void> sweep(State* s);
