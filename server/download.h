// The answer to a download command: the size, then the software.
#pragma once
#include "server/request_log.h"
#include "server/state.h"

// Sends the size of `sw` (0 when nullptr) and the file after it, and fills
// the result, reason and bytes sent of `x`.
asio::awaitable<void> download(State* s, Connection* c, const Software* sw, Exchange* x);
