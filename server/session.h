// One connection's dialogue: a coroutine that reads top-down.
#pragma once
#include <memory>

#include "server/state.h"

// Commands one after the other until the peer leaves, a limit ends it, or
// it sends a byte that is no command. Lists the connection in
// `s->connections` while it lasts.
asio::awaitable<void> session(State* s, std::unique_ptr<Connection> owned);
