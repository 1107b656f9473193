// TCP stream primitives for the box link and the update server client.
// The calls wait as long as the peer takes, with no time limit; a stop
// request (platform/stop.h) ends any of their waits, and the call then fails.
#pragma once
#include <cstddef>
#include <cstdint>

using plat_socket = intptr_t;
constexpr plat_socket kNoSocket = -1;

// Starts the socket library where the platform has one. Returns 0 on
// success, the library's error otherwise.
int plat_net_start();

// The computer's own name into `buf` (NUL-terminated, maybe truncated).
void plat_hostname(char* buf, size_t size);

// Resolves `host` to an IPv4 address, network byte order, into `addr`.
// A dotted address resolves to itself without any name service.
// Returns true on success.
bool plat_resolve_ipv4(const char* host, uint8_t addr[4]);

plat_socket plat_tcp_socket();

// Connects to `addr`:`port` (port in host order). Returns true on success;
// false when refused, unreachable, or stopped.
bool plat_tcp_connect(plat_socket s, const uint8_t addr[4], uint16_t port);

// Sends all `n` bytes, waiting while the peer's window is full. Returns `n`;
// fewer when the connection failed or a stop came part way; -1 when nothing
// went out.
long plat_tcp_send(plat_socket s, const void* data, size_t n);

// Waits until something arrived and takes up to `n` bytes. Returns the count
// received, 0 when the peer closed, -1 on error or a stop.
long plat_tcp_recv(plat_socket s, void* buf, size_t n);

// Bytes sent on `s` that the peer's TCP stack has not acknowledged yet:
// still in this side's send queue, or in flight. Returns the count (0 when
// the peer has acknowledged everything), or -1 when the system does not
// tell (not a TCP socket, or a platform without the query).
long plat_socket_unsent(plat_socket s);

// Keep-alive probes on a connected TCP socket (a listener's accepted one
// included): the first after `idle_s` quiet seconds, then every
// `interval_s`, the connection failing after `count` unanswered. Returns
// false when the system refused any of it.
bool plat_tcp_keepalive(plat_socket s, int idle_s, int interval_s, int count);

// Shuts the connection down in both directions; the result is not used.
void plat_tcp_shutdown(plat_socket s);
