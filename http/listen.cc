#include "http/listen.h"

#include <asio/ip/address.hpp>
#include <asio/socket_base.hpp>

namespace {

// SO_REUSEADDR lets a restarted server listen at once on POSIX; on Windows
// it would let another program take the port, so it is set there never.
constexpr bool kReuseAddress = UPDATE_HTTP_REUSE_ADDRESS;

}  // namespace

std::string http_split_listen(std::string_view text, std::string* addr, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == text.size() || colon + 6 < text.size())
    return "not ADDRESS:PORT";
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return "an IPv6 address goes in brackets: [ADDRESS]:PORT";
  }
  unsigned long n = 0;
  for (char ch : text.substr(colon + 1)) {
    if (ch < '0' || ch > '9') return "not ADDRESS:PORT";
    n = n * 10 + static_cast<unsigned long>(ch - '0');
  }
  if (n > 65535) return "port out of range";
  asio::error_code ec;
  asio::ip::make_address(std::string(host), ec);
  if (ec) return "not an IP address";
  *addr = host;
  *port = static_cast<uint16_t>(n);
  return "";
}

std::string http_listen(asio::ip::tcp::acceptor* a, std::string_view text) {
  std::string addr;
  uint16_t port = 0;
  std::string why = http_split_listen(text, &addr, &port);
  if (!why.empty()) return std::string(text) + ": " + why;
  asio::ip::tcp::endpoint ep(asio::ip::make_address(addr), port);
  asio::error_code ec;
  a->open(ep.protocol(), ec);
  if (!ec && kReuseAddress) a->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
  if (!ec) a->bind(ep, ec);
  if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    asio::error_code ignored;
    a->close(ignored);
    return "cannot listen on " + std::string(text) + ": " + ec.message();
  }
  return "";
}

std::string http_endpoint_text(const asio::ip::tcp::endpoint& e) {
  std::string a = e.address().to_string();
  if (e.address().is_v6()) a = "[" + a + "]";
  return a + ":" + std::to_string(e.port());
}
