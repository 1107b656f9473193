// The lock for state an owner shares with handlers that run on the server's
// own thread (http_start). Use it with std::lock_guard / std::unique_lock.
#pragma once
#include "platform/mutex.h"

using HttpMutex = PlatMutex;
