#include "server/listen.h"

#include <asio/experimental/as_tuple.hpp>
#include <cstdio>

#include "server/connection.h"
#include "server/request_log.h"
#include "server/session.h"

using asio::ip::tcp;

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

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
      std::fprintf(stderr, "update-server: accept failed: %s\n", ec.message().c_str());
      asio::steady_timer pause(s->io, std::chrono::milliseconds(100));
      co_await pause.async_wait(use_tuple);
      continue;
    }
    asio::error_code pec;
    tcp::endpoint peer = socket.remote_endpoint(pec);
    if (s->connections.size() >= s->config.max_connections) {
      Exchange x;
      x.peer = peer_text(peer);
      x.command = "connect";
      x.result = "refused";
      x.reason = "over --max-connections " + std::to_string(s->config.max_connections);
      log_exchange(x);
      socket.close(pec);
      continue;
    }
    socket.set_option(tcp::no_delay(true), pec);
    auto c = std::make_unique<Connection>(std::move(socket));
    c->peer = peer;
    asio::co_spawn(s->io, session(s, std::move(c)), asio::detached);
  }
}
