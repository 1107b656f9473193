// A small HTTP/1.1 server on Asio: routes to plain handlers, keep-alive,
// Server-Sent Events streams, and limits that keep bad clients from mattering.
//
// Two ways to run it:
// - on a caller's io_context (http_open/http_close): everything, handlers
//   included, runs on the thread that runs that io_context;
// - on a thread of its own (http_start/http_stop): handlers run on that
//   thread; the owner shares state with them under its own mutex, and hands
//   them work through http_post. http_publish is safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "http/route.h"

namespace asio {
class io_context;
}

struct HttpConfig {
  std::string listen;       // "ADDR:PORT", "[V6ADDR]:PORT"; port 0 = any free port
  size_t max_head = 8192;   // request line + headers; more: 431
  size_t max_body = 65536;  // Content-Length above it: 413
  // Clients at once, event streams not counted. A newcomer past it closes
  // the client idle longest (http/conns.h): a half-sent request is idle, a
  // request being answered never closed; when all are, it is refused.
  size_t max_clients = 64;
  // Event streams at once, apart from the other clients, so that streams
  // never keep out the page or control. A new one past it closes the oldest.
  size_t max_streams = 32;
  uint32_t idle_timeout_ms = 30000;     // between requests; streams exempt
  size_t stream_queue_bytes = 1 << 20;  // unsent bytes a stream may hold
  // A stream whose unsent bytes have not moved for this long is closed:
  // its reader has stopped reading. 0: no limit.
  uint32_t stream_stall_ms = 10000;
  uint32_t stream_ping_ms = 15000;  // a comment line on quiet streams; 0 none
  // Where idle time is measured; default the steady clock. Tests pass their
  // own to expire clients without waiting.
  std::function<int64_t()> now_ms;
  uint32_t sweep_ms = 1000;  // how often the idle limit is checked
  // Names a request's Host may give besides IP literals, "localhost" and
  // the machine's name (--http-allow-host). Any other Host answers 421 and
  // the connection closes: a page elsewhere that rebinds its own name to
  // this address reads nothing.
  std::vector<std::string> allow_hosts;
  std::string host_name;  // the machine's name; "" asks the system
};

// Whether a request's Host value (name or address, maybe with ":PORT") is
// one this server answers: an IPv4 literal, a bracketed IPv6 literal,
// "localhost", `host_name` or one of `allowed`, names without regard to
// case.
bool http_host_allowed(std::string_view host, std::string_view host_name,
                       const std::vector<std::string>& allowed);

struct HttpServer;

// Listens on config.listen on `io` and serves `routes`. Returns nullptr and
// a sentence in *error when it cannot listen.
HttpServer* http_open(asio::io_context& io, const HttpConfig& config, std::vector<HttpRoute> routes,
                      std::string* error);
// Closes the listener and every client, and frees `s`; on the io thread.
void http_close(HttpServer* s);

// The same on a thread of its own, listening before it returns.
HttpServer* http_start(const HttpConfig& config, std::vector<HttpRoute> routes, std::string* error);
// Stops that thread, closes every client and frees `s`.
void http_stop(HttpServer* s);

// The address and real port it listens on, as "ADDR:PORT" ("[::1]:8080").
std::string http_local(const HttpServer* s);
uint16_t http_port(const HttpServer* s);

// Sends `bytes` (e.g. from http_sse_event) to every stream on `channel`. A
// stream whose unsent bytes would pass stream_queue_bytes is closed, never
// waited for. Any thread, until http_stop.
void http_publish(HttpServer* s, std::string_view channel, std::string bytes);

// Runs `f` on the server's thread. Any thread.
void http_post(HttpServer* s, std::function<void()> f);

// Counts for tests and metrics (racy reads from other threads are fine).
struct HttpStats {
  size_t clients = 0;  // open now
  size_t streams = 0;  // of which event streams
  uint64_t requests = 0;
  uint64_t evicted = 0;  // closed to admit a newcomer (a client or a stream)
  uint64_t dropped = 0;  // streams closed for not reading (queue full or stalled)
};
HttpStats http_stats(const HttpServer* s);
