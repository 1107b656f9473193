#include "server/connection.h"

#include <asio/experimental/as_tuple.hpp>

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// A box sends its command's bytes together; a peer that sends some and
// stops is not a box at work and keeps its place no longer than this.
constexpr uint32_t kCommandLimitS = 10;

uint32_t ms_of(uint32_t seconds) {
  // A limit beyond 49 days is as good as none; the table counts in 32 bits.
  return seconds > 4000000 ? 0 : seconds * 1000;
}

void arm(State* s, Connection* c, uint32_t seconds, const char* limit) {
  conn_arm(c, conn_ms(s->now()), ms_of(seconds), limit);
}

}  // namespace

double seconds_since(State* s, Clock::time_point t) {
  return std::chrono::duration<double>(s->now() - t).count();
}

void note_exchange(State* s, const Exchange& x) {
  // Counted whether or not the log keeps up.
  metrics_exchange(&s->metrics, x);
  log_exchange(s->log, x);
}

void arm_idle(State* s, Connection* c) {
  conn_idle(c, conn_ms(s->now()), ms_of(s->config.idle_timeout_s), "idle limit reached");
}

void arm_command(State* s, Connection* c) {
  arm(s, c, kCommandLimitS, "the command's bytes did not all arrive within 10 s");
}

void arm_progress(State* s, Connection* c) {
  arm(s, c, s->config.send_timeout_s, "no progress within the send limit");
}

std::string reason_of(Connection* c, const asio::error_code& ec) {
  if (c->closed) return c->closed;
  if (ec == asio::error::eof) return "peer closed the connection";
  return "connection failed: " + ec.message();
}

asio::awaitable<asio::error_code> send_all(State* s, Connection* c,
                                           std::array<asio::const_buffer, 2> b, uint64_t* sent) {
  while (b[0].size() + b[1].size() > 0) {
    arm_progress(s, c);
    auto [ec, n] = co_await c->socket.async_write_some(b, use_tuple);
    if (ec) co_return ec;
    *sent += n;
    size_t first = std::min(n, b[0].size());
    b[0] += first;
    b[1] += n - first;
  }
  co_return asio::error_code{};
}

asio::awaitable<void> sweep(State* s) {
  asio::steady_timer timer(s->io);
  for (;;) {
    timer.expires_after(std::chrono::milliseconds(250));
    co_await timer.async_wait(use_tuple);
    auto now = s->now();
    for (Conn* c : conn_due(&s->connections, conn_ms(now))) conn_close(c, c->limit);
    if (s->stopping)
      for (Conn* c : s->connections.all)
        if (!c->in_exchange || now >= s->stop_deadline) conn_close(c, "server stopping");
    if (s->stopping && s->connections.all.empty()) {
      if (s->signals) s->signals->cancel();
      co_return;
    }
  }
}
