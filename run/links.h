// What a run over TCP talks through: the connection to the box or the
// update server, and the one way such a run ends.
#pragma once
#include "platform/net.h"
#include "platform/serial.h"

// Prints "-->  host:port", resolves and connects. Ends the run on failure.
plat_socket connect_to_peer(const char* host, int tcp_port);

// Ends a run over TCP with `code`: the update server gets its goodbye when
// `goodbye`, the link is shut down, `port` closed when open.
[[noreturn]] void end_link_run(plat_socket s, plat_port port, bool goodbye, int code);
