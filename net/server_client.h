// The update server protocol: one operation per request, each over an
// open connection, with no decision about the run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/net.h"

// A reception slower than this (in ms) has let the box's bootloader give
// up waiting, so the box is acquired again before the serial download.
constexpr uint32_t kReacquireAfterMs = 12000;

// 'B' and one answer byte of any value. Returns 1 on success, 0 otherwise.
int server_greet(plat_socket s);

// 'C' with the channel and the low 8 bits of major and minor; the three
// answer bytes into `version`. Returns 1 when all three arrived, 0 otherwise.
int server_query(plat_socket s, int channel, uint16_t major, uint16_t minor, uint8_t version[3]);

// 'D' likewise; the announced software size into `*size`. Returns 1 when
// all four size bytes arrived, 0 otherwise.
int server_ask_size(plat_socket s, int channel, uint16_t major, uint16_t minor, uint32_t* size);

// 'S' likewise (only in a signed run): the manifest of the software 'D'
// sends, announced by its length as 4 bytes, into `*manifest` ("" for
// length 0). Returns 1 when it all arrived, 0 otherwise, also for a length
// longer than any manifest (`max`), which is not received.
int server_ask_signature(plat_socket s, int channel, uint16_t major, uint16_t minor, size_t max,
                         std::string* manifest);

// What the software size a server announced means: nothing new for the
// box (0), more than the image buffer holds (message 102; the fetch would
// write past it), or a size to fetch.
enum class SoftwareSize { kNone, kTooBig, kFits };
SoftwareSize software_size_verdict(uint32_t size);

// Receives `size` bytes one call each into the image buffer from offset 0,
// with the "network transfer" progress line at every 1000th byte whose
// percentage has risen. Stops at the first failed receive. Returns the
// count received (`size` when complete). `size` must fit the buffer.
uint32_t receive_software(plat_socket s, uint32_t size);

enum class SoftwareFetch {
  kBrokeOff,  // `*received` says where
  kInTime,    // complete within kReacquireAfterMs
  kSlow,      // complete, but the box may have given up meanwhile
};

// receive_software timed by the millisecond clock.
SoftwareFetch fetch_software(plat_socket s, uint32_t size, uint32_t* received);

// 'A', the length of `station` (one byte, the name cut at 255 bytes), the
// name, and the attempt's 32 hex digits: who fetches, so the server's log
// joins the station's journal. No answer comes. Returns 1 when all went
// out, 0 otherwise.
constexpr size_t kAttemptIdLength = 32;
int server_tell_attempt(plat_socket s, const char* station, const char* attempt);

// 'Z'. Nothing comes back and a failed send changes nothing.
void server_goodbye(plat_socket s);
