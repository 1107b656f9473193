// The byte framing over TCP, connection set-up, and the network box update.
#pragma once
#include <cstdint>

#include "platform/net.h"

// Prints "-->  host:port", resolves and connects. Ends the run on failure.
plat_socket connect_to_peer(const char* host, int tcp_port);

// hello, identity, identity check, the PAD file as one block. Ends the run.
[[noreturn]] void network_box_update(plat_socket s);
