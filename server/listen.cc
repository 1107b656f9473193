#include "server/listen.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <asio/experimental/as_tuple.hpp>
#include <cstdio>

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
  asio::error_code ec;
  socket->set_option(asio::socket_base::keep_alive(true), ec);
  socket->set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPIDLE>(kKeepIdleS),
                     ec);
  socket->set_option(
      asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPINTVL>(kKeepIntervalS), ec);
  socket->set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPCNT>(kKeepCount),
                     ec);
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
  size_t leaving = 0;
  Connection* oldest = nullptr;
  for (Connection* c : s->connections) {
    if (c->expired) {
      ++leaving;
    } else if (c->between_exchanges && (!oldest || c->idle_since < oldest->idle_since)) {
      oldest = c;
    }
  }
  if (s->connections.size() - leaving < s->config.max_connections) return true;
  if (oldest == nullptr) return false;
  cut(oldest, "closed while idle to admit a new connection at --max-connections");
  return true;
}

}  // namespace

bool parse_listen(const std::string& text, tcp::endpoint* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  char* end = nullptr;
  unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port > 65535) return false;
  asio::error_code ec;
  asio::ip::address a = asio::ip::make_address(host, ec);
  if (ec) return false;
  *out = tcp::endpoint(a, static_cast<uint16_t>(port));
  return true;
}

bool listen_open(State* s) {
  std::vector<std::string> listen = s->config.listen;
  if (listen.empty()) listen.push_back("0.0.0.0:4242");
  for (const std::string& l : listen) {
    tcp::endpoint ep;
    if (!parse_listen(l, &ep)) {
      std::fprintf(stderr, "update-server: --listen %s: not ADDRESS:PORT\n", l.c_str());
      return false;
    }
    auto a = std::make_unique<tcp::acceptor>(s->io);
    asio::error_code ec;
    a->open(ep.protocol(), ec);
    if (!ec) a->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) a->bind(ep, ec);
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      std::fprintf(stderr, "update-server: cannot listen on %s: %s\n", l.c_str(),
                   ec.message().c_str());
      return false;
    }
    std::fprintf(stderr, "update-server: listening on %s\n",
                 peer_text(a->local_endpoint(ec)).c_str());
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
        x.peer = peer_text(peer);
        x.command = "connect";
        x.result = "refused";
        x.reason = "over --max-connections " + std::to_string(s->config.max_connections) + more;
        log_exchange(x);
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
