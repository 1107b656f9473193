#include "server/listen.h"

#include <asio/experimental/as_tuple.hpp>
#include <cstdio>

#include "http/listen.h"
#include "platform/net.h"
#include "server/connection.h"
#include "server/request_log.h"
#include "server/session.h"

using asio::ip::tcp;

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// A peer that vanished without a word (power cut, a cable pulled, a NAT
// that forgot it) is found within two minutes, not the system's two hours.
constexpr int kKeepIdleS = 60, kKeepIntervalS = 15, kKeepCount = 4;

const char kHeldBack[] = "\n";

void keep_alive(tcp::socket* socket) {
  plat_tcp_keepalive(static_cast<plat_socket>(socket->native_handle()), kKeepIdleS, kKeepIntervalS,
                     kKeepCount);
}

// kHeldBack when the message must wait; otherwise what to add to it: how
// many were held back since the last one.
std::string throttled(Throttle* t) {
  auto now = Clock::now();
  if (t->any && now - t->last < std::chrono::seconds(1)) {
    ++t->held_back;
    return kHeldBack;
  }
  t->last = now;
  t->any = true;
  std::string more;
  if (t->held_back > 0) more = " (" + std::to_string(t->held_back) + " more since the last line)";
  t->held_back = 0;
  return more;
}

// At --max-connections, the connection idle the longest between exchanges
// is closed to admit the new one: a station that has left its connection
// open must not lock out one that has a box waiting. Returns false when
// every connection is in the middle of an exchange.
bool make_room(State* s) {
  Conn* victim = nullptr;
  switch (conn_make_room(&s->connections, ConnClass::kPlain, s->config.max_connections, &victim)) {
    case ConnRoom::kRoom: return true;
    case ConnRoom::kFull: return false;
    case ConnRoom::kEvict: break;
  }
  conn_close(victim, "closed while idle to admit a new connection at --max-connections");
  return true;
}

}  // namespace

bool listen_open(State* s) {
  std::vector<std::string> listen = s->config.listen;
  if (listen.empty()) listen.push_back("0.0.0.0:4242");
  for (const std::string& l : listen) {
    auto a = std::make_unique<tcp::acceptor>(s->io);
    std::string why = http_listen(a.get(), l);
    if (!why.empty()) {
      std::fprintf(stderr, "update-server: --listen %s\n", why.c_str());
      return false;
    }
    asio::error_code ec;
    std::fprintf(stderr, "update-server: listening on %s\n",
                 http_endpoint_text(a->local_endpoint(ec)).c_str());
    s->acceptors.push_back(std::move(a));
  }
  return true;
}

asio::awaitable<void> accept_loop(State* s, tcp::acceptor* a) {
  for (;;) {
    auto [ec, socket] = co_await a->async_accept(use_tuple);
    if (s->stopping) co_return;
    if (ec) {
      // Out of descriptors, most often: let connections end, then go on.
      std::string more = throttled(&s->accept_failures);
      if (more != kHeldBack)
        std::fprintf(stderr, "update-server: accept failed: %s%s\n", ec.message().c_str(),
                     more.c_str());
      asio::steady_timer pause(s->io, std::chrono::milliseconds(100));
      co_await pause.async_wait(use_tuple);
      continue;
    }
    asio::error_code pec;
    tcp::endpoint peer = socket.remote_endpoint(pec);
    if (!make_room(s)) {
      std::string more = throttled(&s->refusals);
      if (more != kHeldBack) {
        Exchange x;
        x.peer = http_endpoint_text(peer);
        x.command = "connect";
        x.result = "refused";
        x.reason = "over --max-connections " + std::to_string(s->config.max_connections) + more;
        note_exchange(s, x);
      }
      socket.close(pec);
      continue;
    }
    socket.set_option(tcp::no_delay(true), pec);
    keep_alive(&socket);
    auto c = std::make_unique<Connection>(std::move(socket));
    c->peer = peer;
    asio::co_spawn(s->io, session(s, std::move(c)), asio::detached);
  }
}
