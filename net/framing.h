// The byte framing shared by the box link and the update server client:
// every byte travels in a platform call of its own, numbers are 32-bit and
// most significant byte first, only the image block goes in one call.
// Results: 1 success, 0 failure.
#pragma once
#include <cstdint>

#include "platform/net.h"

constexpr uint8_t kAcknowledge = 0x01;

int send_byte(plat_socket s, uint8_t value);

// A closed connection counts as failure. `*value` is left as it was then.
int receive_byte(plat_socket s, uint8_t* value);

// One receive call of one byte that tells an orderly close from a broken
// connection. Returns 1 when a byte arrived, 0 when the peer closed in
// order, -1 when the receive failed (a reset among the causes).
int receive_byte_or_close(plat_socket s, uint8_t* value);

// Four receive calls, always all four, even after one has failed: the peer
// may still be sending the rest, and the stream must stay in step. A byte
// that failed counts as 0 in `*value`.
int receive_number(plat_socket s, uint32_t* value);

int send_acknowledge(plat_socket s);

// Succeeds only when a byte arrived and it is the acknowledge byte.
int receive_acknowledge(plat_socket s);

// The first `n` bytes of the image buffer in a single send call.
int send_block(plat_socket s, uint32_t n);

// Shuts the connection down in both directions; there is nothing to report.
void shut_down_link(plat_socket s);
