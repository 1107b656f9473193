// The server's state, owned by server_run and handed to every part of the
// one thread: the connections, the listeners and the catalogue served.
#pragma once
#include <asio.hpp>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <vector>

#include "http/conns.h"
#include "server/catalogue.h"
#include "server/metrics.h"
#include "server/request_log.h"
#include "server/server.h"

using Clock = std::chrono::steady_clock;

// A time of State::now as the connection table counts: milliseconds.
inline int64_t conn_ms(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// Its limits, its state and why it was closed are the connection table's
// (http/conns.h), shared with the HTTP servers.
struct Connection : Conn {
  asio::ip::tcp::endpoint peer;
  explicit Connection(asio::ip::tcp::socket s) : Conn(std::move(s)) {}
};

// A message that may come in floods, let out at most once a second; the
// ones held back are counted into the next.
struct Throttle {
  Clock::time_point last{};  // of the last one let out
  bool any = false;          // let out so far
  uint64_t held_back = 0;
};

struct State {
  ServerConfig config;
  asio::io_context io;
  // Where every limit is measured; tests put in their own to expire
  // connections without waiting.
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
  RequestLog* log = nullptr;  // the request log; the caller's
  ServerMetrics metrics;
  std::shared_ptr<const Catalogue> catalogue;
  ConnTable connections;  // of Connection
  // The update protocol's listeners. Another protocol's listener lives on
  // the same io and registers in `on_stop` what closes it.
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors;
  std::vector<std::function<void()>> on_stop;
  asio::signal_set* signals = nullptr;  // while they are waited on
  Throttle refusals, accept_failures;
  bool stopping = false;
  Clock::time_point stop_deadline;
};
