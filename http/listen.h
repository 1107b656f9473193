// The one way every server of this tree listens: one "ADDR:PORT" parser
// (an IPv6 address only in brackets, no names) and one way to open the
// listening socket, for the HTTP servers and update-server's protocol.
#pragma once
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <string>
#include <string_view>

// Splits "ADDR:PORT" / "[ADDR]:PORT" (ADDR a literal address, no names).
// Returns "" or why it cannot be used.
std::string http_split_listen(std::string_view text, std::string* addr, uint16_t* port);

// Opens `*a` listening on `text`. Returns "" or a sentence saying why not
// ("127.0.0.1:99999: port out of range", "cannot listen on ...: ...").
std::string http_listen(asio::ip::tcp::acceptor* a, std::string_view text);

// "ADDR:PORT" for an endpoint, an IPv6 address in brackets ("[::1]:80").
std::string http_endpoint_text(const asio::ip::tcp::endpoint& e);
