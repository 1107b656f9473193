#include "server/session.h"

#include <asio/experimental/as_tuple.hpp>
#include <cstdio>

#include "http/listen.h"
#include "server/connection.h"
#include "server/download.h"
#include "server/request_log.h"

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// An exchange that ended the connection before any answer.
void log_failure(State* s, const std::string& peer, const char* command, const std::string& reason,
                 double seconds = 0) {
  Exchange x;
  x.peer = peer;
  x.command = command;
  x.result = "failed";
  x.reason = reason;
  x.seconds = seconds;
  note_exchange(s, x);
}

// The commands a peer may send: the byte, the name the log gives it, and
// whether three argument bytes (channel, bootloader major and minor)
// follow. A byte not here ends the connection.
struct Command {
  uint8_t byte;
  const char* name;
  bool args;
};
constexpr Command kCommands[] = {
    {'B', "B", false},  // greeting: answered 'B'
    {'Z', "Z", false},  // end of a box: no answer
    {'C', "C", true},   // the version this box gets
    {'D', "D", true},   // its size and the software
    {'S', "S", true},   // the software's signed manifest
    {'A', "A", false},  // the station and attempt: its own bytes, read below
};

const Command* command_of(uint8_t byte) {
  for (const Command& c : kCommands)
    if (c.byte == byte) return &c;
  return nullptr;
}

}  // namespace

asio::awaitable<void> session(State* s, std::unique_ptr<Connection> owned) {
  Connection* c = owned.get();
  conn_add(&s->connections, c, conn_ms(s->now()));
  // Off the table however the dialogue ends, an exception included.
  struct Unlist {
    State* s;
    Connection* c;
    ~Unlist() { conn_remove(&s->connections, c); }
  } unlist{s, c};
  std::string peer = http_endpoint_text(c->peer);
  // The catalogue one exchange is answered from: taken at its first
  // question after a greeting, so a reload in between cannot tell a box one
  // version and send it another; let go when the download ends it, so a
  // connection idle between boxes keeps no replaced file open.
  std::shared_ptr<const Catalogue> snapshot;
  // The station and attempt the tool named ('A'), for the download's line.
  std::string station, attempt;
  for (;;) {
    if (s->stopping) break;
    arm_idle(s, c);
    uint8_t command = 0;
    auto [ec, n] = co_await asio::async_read(c->socket, asio::buffer(&command, 1), use_tuple);
    (void)n;
    if (ec) {
      // Leaving between exchanges is the normal end; only a limit is news.
      if (c->closed && !s->stopping) log_failure(s, peer, "idle", c->closed);
      break;
    }
    auto started = s->now();
    const Command* known = command_of(command);
    if (known == nullptr) {
      char text[8];
      std::snprintf(text, sizeof text, "0x%02x", command);
      log_failure(s, peer, text, "unknown command byte; connection closed");
      break;
    }
    if (command == 'B') {
      conn_exchange(c);
      snapshot.reset();
      uint8_t answer = 'B';
      std::array<asio::const_buffer, 2> b = {asio::buffer(&answer, 1), asio::const_buffer()};
      uint64_t sent = 0;
      asio::error_code wec = co_await send_all(s, c, b, &sent);
      if (wec) {
        log_failure(s, peer, "B", reason_of(c, wec), seconds_since(s, started));
        break;
      }
      continue;
    }
    if (command == 'Z') {
      snapshot.reset();
      continue;
    }
    if (command == 'A') {
      // The name's length, the name, the attempt's 32 hex digits; no answer.
      uint8_t length = 0;
      arm_command(s, c);
      auto [lec, ln] = co_await asio::async_read(c->socket, asio::buffer(&length, 1), use_tuple);
      (void)ln;
      std::string text(length + 32u, '\0');
      asio::error_code tec = lec;
      if (!tec) {
        auto [e2, tn] = co_await asio::async_read(c->socket, asio::buffer(text), use_tuple);
        (void)tn;
        tec = e2;
      }
      conn_exchange(c);
      if (tec) {
        log_failure(s, peer, "A", reason_of(c, tec) + " before the attempt's bytes",
                    seconds_since(s, started));
        break;
      }
      station = text.substr(0, length);
      attempt = text.substr(length);
      Exchange x;
      x.peer = peer;
      x.command = "A";
      x.station = station;
      x.attempt = attempt;
      x.seconds = seconds_since(s, started);
      note_exchange(s, x);
      continue;
    }
    Exchange x;
    x.peer = peer;
    x.command = known->name;
    // Until its bytes are all in, a command is no exchange: the connection
    // stays idle for eviction, and the bytes have a short while to come.
    uint8_t args[3];
    arm_command(s, c);
    auto [aec, an] = co_await asio::async_read(c->socket, asio::buffer(args), use_tuple);
    (void)an;
    conn_exchange(c);
    if (aec) {
      log_failure(s, peer, x.command, reason_of(c, aec) + " before the command's three bytes",
                  seconds_since(s, started));
      break;
    }
    x.channel = args[0];
    x.major = args[1];
    x.minor = args[2];
    if (!snapshot) snapshot = s->catalogue;
    const Software* sw = catalogue_find(*snapshot, args[0], args[1], args[2]);
    if (sw) {
      x.version = version_text(sw->version);
      x.file = sw->path;
    } else if (channel_name(args[0]) == nullptr) {
      x.reason = "no such channel";
    }
    if (command == 'S') {
      // The manifest of the software 'D' sends, from its .sig as the
      // catalogue read it: its length as 4 bytes, then its bytes; 0 when
      // there is none.
      std::string m = sw ? sw->manifest : "";
      uint32_t n = static_cast<uint32_t>(m.size());
      uint8_t length[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
      std::array<asio::const_buffer, 2> b = {asio::buffer(length), asio::buffer(m)};
      uint64_t sent = 0;
      asio::error_code wec = co_await send_all(s, c, b, &sent);
      x.size = n;
      x.result = wec ? "failed" : n ? "ok" : "none";
      if (wec) x.reason = reason_of(c, wec);
    } else if (command == 'C') {
      uint8_t answer[3] = {0, 0, 0};
      if (sw) std::copy(sw->version, sw->version + 3, answer);
      std::array<asio::const_buffer, 2> b = {asio::buffer(answer), asio::const_buffer()};
      uint64_t sent = 0;
      asio::error_code wec = co_await send_all(s, c, b, &sent);
      x.result = wec ? "failed" : sw ? "ok" : "none";
      if (wec) x.reason = reason_of(c, wec);
    } else {
      x.size = sw ? sw->size : 0;
      if (sw) x.sha256 = sw->sha256;
      x.station = station;
      x.attempt = attempt;
      co_await download(s, c, sw, &x);
    }
    if (command == 'D') {
      snapshot.reset();
      station.clear();
      attempt.clear();
    }
    x.seconds = seconds_since(s, started);
    note_exchange(s, x);
    if (std::string(x.result) == "failed") break;
  }
  asio::error_code ignored;
  c->socket.close(ignored);
}
