// The HTTP side of update-server (--http): GET /metrics and GET /healthz on
// the server's own thread, beside the update protocol.
#pragma once
#include "server/state.h"

// Listens on s->config.http and says where on standard error; closes with
// the update protocol's listeners. Returns false after a line on standard
// error when it cannot listen.
bool web_open(State* s);
