#include "line/client.h"

#include <cctype>

#include <asio/connect.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <memory>

namespace {

using asio::ip::tcp;
constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);
constexpr size_t kMaxHead = 16384;

// A socket and the timer that closes it when its time is up.
struct Guarded {
  tcp::socket socket;
  asio::steady_timer timer;
  bool expired = false;
  explicit Guarded(const asio::any_io_executor& ex) : socket(ex), timer(ex) {}
};

void arm(const std::shared_ptr<Guarded>& g, std::chrono::milliseconds limit) {
  g->timer.expires_after(limit);
  g->timer.async_wait([w = std::weak_ptr<Guarded>(g)](const asio::error_code& ec) {
    auto g = w.lock();
    if (ec || !g) return;
    g->expired = true;
    asio::error_code ignored;
    g->socket.close(ignored);
  });
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

asio::awaitable<std::string> open(const std::shared_ptr<Guarded>& g, const ClientUrl& url,
                                  const std::string& target) {
  tcp::resolver resolver(g->socket.get_executor());
  auto [rec, endpoints] =
      co_await resolver.async_resolve(url.host, std::to_string(url.port), use_tuple);
  if (rec) co_return g->expired ? "no answer in time" : "cannot find " + url.host;
  auto [cec, ep] = co_await asio::async_connect(g->socket, endpoints, use_tuple);
  if (cec) co_return g->expired ? "no answer in time" : "cannot connect: " + cec.message();
  std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
  std::string req = "GET " + url.base + target + " HTTP/1.1\r\nHost: " + host + ":" +
                    std::to_string(url.port) + "\r\nUser-Agent: update-line\r\n\r\n";
  auto [wec, n] = co_await asio::async_write(g->socket, asio::buffer(req), use_tuple);
  if (wec) co_return g->expired ? "no answer in time" : "cannot send: " + wec.message();
  co_return "";
}

// Reads the head into *buf (and what came after it); the status and the
// headers that matter. Returns "" or why not.
struct Head {
  int status = 0;
  bool has_length = false, chunked = false;
  uint64_t length = 0;
  size_t size = 0;  // bytes of the head in the buffer
};

asio::awaitable<std::string> read_head(const std::shared_ptr<Guarded>& g, std::string* buf,
                                       Head* h) {
  char chunk[8192];
  for (;;) {
    size_t end = buf->find("\r\n\r\n");
    if (end != std::string::npos) {
      h->size = end + 4;
      break;
    }
    if (buf->size() > kMaxHead) co_return "a head too large";
    auto [ec, n] = co_await g->socket.async_read_some(asio::buffer(chunk), use_tuple);
    if (ec) co_return g->expired ? "no answer in time" : "no answer: " + ec.message();
    buf->append(chunk, n);
  }
  std::string_view head(buf->data(), h->size);
  if (head.substr(0, 7) != "HTTP/1." || head.size() < 12 || head[8] != ' ')
    co_return "not an HTTP answer";
  for (int i = 9; i < 12; i++) {
    if (head[i] < '0' || head[i] > '9') co_return "not an HTTP answer";
    h->status = h->status * 10 + (head[i] - '0');
  }
  size_t at = head.find("\r\n") + 2;
  while (at < head.size()) {
    size_t eol = head.find("\r\n", at);
    std::string_view line = head.substr(at, eol - at);
    at = eol + 2;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name = lower(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (name == "content-length") {
      uint64_t v = 0;
      if (value.empty() || value.size() > 18) co_return "a bad Content-Length";
      for (char c : value) {
        if (c < '0' || c > '9') co_return "a bad Content-Length";
        v = v * 10 + static_cast<uint64_t>(c - '0');
      }
      h->has_length = true;
      h->length = v;
    } else if (name == "transfer-encoding") {
      h->chunked = true;
    }
  }
  co_return "";
}

}  // namespace

std::string client_parse_url(std::string_view text, ClientUrl* out) {
  ClientUrl u;
  if (text.substr(0, 7) != "http://") return "not an http:// URL";
  text.remove_prefix(7);
  size_t slash = text.find('/');
  std::string_view authority = text.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? "" : text.substr(slash);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string_view port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return "an IPv6 address without its ']'";
    u.host = std::string(authority.substr(1, close - 1));
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return "no port after the address";
    if (!rest.empty()) port = rest.substr(1);
    else port = "";
  } else {
    size_t colon = authority.find(':');
    u.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) return "no port after the ':'";
    }
  }
  if (u.host.empty()) return "no host";
  for (char c : u.host)
    if (c <= ' ' || c == '@' || c == '?' || c == '#' || c > '~') return "not a host name";
  if (!port.empty()) {
    unsigned long v = 0;
    if (port.size() > 5) return "not a port";
    for (char c : port) {
      if (c < '0' || c > '9') return "not a port";
      v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v == 0 || v > 65535) return "not a port";
    u.port = static_cast<uint16_t>(v);
  }
  if (path.find_first_of("?# ") != std::string_view::npos) return "a path with a query";
  u.base = std::string(path);
  *out = u;
  return "";
}

asio::awaitable<ClientAnswer> client_get(const ClientUrl& url, std::string target, size_t max_body,
                                         std::chrono::milliseconds limit) {
  auto ex = co_await asio::this_coro::executor;
  auto g = std::make_shared<Guarded>(ex);
  arm(g, limit);
  ClientAnswer a;
  a.error = co_await open(g, url, target);
  std::string buf;
  Head h;
  if (a.error.empty()) a.error = co_await read_head(g, &buf, &h);
  if (a.error.empty() && h.chunked) a.error = "a chunked answer";
  if (a.error.empty() && h.has_length && h.length > max_body) a.error = "an answer too large";
  if (a.error.empty()) {
    a.body = buf.substr(h.size);
    char chunk[65536];
    while (!h.has_length || a.body.size() < h.length) {
      if (a.body.size() > max_body) {
        a.error = "an answer too large";
        break;
      }
      auto [ec, n] = co_await g->socket.async_read_some(asio::buffer(chunk), use_tuple);
      if (ec == asio::error::eof && !h.has_length) break;
      if (ec) {
        a.error = g->expired ? "no answer in time" : "the answer cut short";
        break;
      }
      a.body.append(chunk, n);
    }
    if (a.error.empty() && h.has_length && a.body.size() > h.length) a.body.resize(h.length);
  }
  g->timer.cancel();
  asio::error_code ignored;
  g->socket.close(ignored);
  if (a.error.empty()) a.status = h.status;
  else a.body.clear();
  co_return a;
}

bool sse_feed(SseParser* p, std::string_view bytes, size_t max_event,
              const std::function<void(const ClientEvent&)>& on_event) {
  for (char c : bytes) {
    if (c != '\n') {
      if (++p->size > max_event) return false;
      p->line += c;
      continue;
    }
    std::string line;
    line.swap(p->line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      if (p->have_data) on_event({p->event.empty() ? "message" : p->event, p->data});
      p->event.clear();
      p->data.clear();
      p->have_data = false;
      p->size = 0;
      continue;
    }
    if (line[0] == ':') continue;
    size_t colon = line.find(':');
    std::string field = line.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    if (field == "event") {
      p->event = value;
    } else if (field == "data") {
      if (p->have_data) p->data += '\n';
      p->data += value;
      p->have_data = true;
    }
  }
  return true;
}

asio::awaitable<std::string> client_follow(const ClientUrl& url, std::string target,
                                           size_t max_event, std::chrono::milliseconds quiet,
                                           std::function<void()> on_open,
                                           std::function<void(const ClientEvent&)> on_event) {
  auto ex = co_await asio::this_coro::executor;
  auto g = std::make_shared<Guarded>(ex);
  arm(g, quiet);
  std::string why = co_await open(g, url, target);
  std::string buf;
  Head h;
  if (why.empty()) why = co_await read_head(g, &buf, &h);
  if (why.empty() && h.status != 200) why = "answered " + std::to_string(h.status);
  if (why.empty()) {
    on_open();
    SseParser p;
    std::string_view first = std::string_view(buf).substr(h.size);
    if (!sse_feed(&p, first, max_event, on_event)) why = "an event too large";
    char chunk[16384];
    while (why.empty()) {
      arm(g, quiet);
      auto [ec, n] = co_await g->socket.async_read_some(asio::buffer(chunk), use_tuple);
      if (ec) {
        why = g->expired               ? "the stream went quiet"
              : ec == asio::error::eof ? "the stream ended"
                                       : ec.message();
        break;
      }
      if (!sse_feed(&p, std::string_view(chunk, n), max_event, on_event))
        why = "an event too large";
    }
  }
  g->timer.cancel();
  asio::error_code ignored;
  g->socket.close(ignored);
  co_return why;
}

namespace {

bool json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t skip_space(std::string_view s, size_t p) {
  while (p < s.size() && json_space(s[p])) ++p;
  return p;
}

// Just past the string that starts at s[p] ('"'); npos when it never ends.
size_t skip_string(std::string_view s, size_t p) {
  for (++p; p < s.size(); ++p) {
    if (s[p] == '\\') ++p;
    else if (s[p] == '"') return p + 1;
  }
  return std::string_view::npos;
}

// Just past the one value that starts at s[p]; npos when there is none
// there. Objects and arrays are matched by their brackets only: what is
// inside a record is the record parser's to judge.
size_t skip_value(std::string_view s, size_t p) {
  if (p >= s.size()) return std::string_view::npos;
  if (s[p] == '"') return skip_string(s, p);
  if (s[p] == '{' || s[p] == '[') {
    std::string open;  // the brackets still open, innermost last
    for (; p < s.size(); ++p) {
      char c = s[p];
      if (c == '"') {
        p = skip_string(s, p);
        if (p == std::string_view::npos) return p;
        --p;
      } else if (c == '{' || c == '[') {
        open += c == '{' ? '}' : ']';
      } else if (c == '}' || c == ']') {
        if (open.empty() || open.back() != c) return std::string_view::npos;
        open.pop_back();
        if (open.empty()) return p + 1;
      }
    }
    return std::string_view::npos;
  }
  size_t start = p;
  while (p < s.size() && (std::isalnum(static_cast<unsigned char>(s[p])) || s[p] == '-' ||
                          s[p] == '+' || s[p] == '.'))
    ++p;
  return p > start ? p : std::string_view::npos;
}

}  // namespace

bool client_journal_page(std::string_view s, JournalPage* out) {
  constexpr size_t npos = std::string_view::npos;
  *out = JournalPage();
  bool have_records = false, have_next = false, have_more = false;
  size_t p = skip_space(s, 0);
  if (p >= s.size() || s[p] != '{') return false;
  p = skip_space(s, p + 1);
  if (p < s.size() && s[p] == '}') return false;
  for (;;) {
    if (p >= s.size() || s[p] != '"') return false;
    size_t key_end = skip_string(s, p);
    if (key_end == npos) return false;
    std::string_view key = s.substr(p + 1, key_end - p - 2);
    p = skip_space(s, key_end);
    if (p >= s.size() || s[p] != ':') return false;
    p = skip_space(s, p + 1);
    if (key == "records") {
      if (have_records || p >= s.size() || s[p] != '[') return false;
      have_records = true;
      p = skip_space(s, p + 1);
      if (p < s.size() && s[p] == ']') {
        ++p;
      } else {
        for (;;) {
          size_t end = skip_value(s, p);
          if (end == npos) return false;
          out->records.push_back(s.substr(p, end - p));
          p = skip_space(s, end);
          if (p < s.size() && s[p] == ',') {
            p = skip_space(s, p + 1);
          } else if (p < s.size() && s[p] == ']') {
            ++p;
            break;
          } else {
            return false;
          }
        }
      }
    } else if (key == "next") {
      size_t end = p < s.size() && s[p] == '"' ? skip_string(s, p) : npos;
      // A cursor is plain text; one with an escape is no cursor of a station.
      if (have_next || end == npos || s.substr(p, end - p).find('\\') != npos) return false;
      have_next = true;
      out->next.assign(s.substr(p + 1, end - p - 2));
      p = end;
    } else if (key == "more") {
      if (have_more) return false;
      have_more = true;
      if (s.substr(p, 4) == "true") {
        out->more = true;
        p += 4;
      } else if (s.substr(p, 5) == "false") {
        p += 5;
      } else {
        return false;
      }
    } else {
      p = skip_value(s, p);
      if (p == npos) return false;
    }
    p = skip_space(s, p);
    if (p < s.size() && s[p] == ',') {
      p = skip_space(s, p + 1);
      continue;
    }
    if (p < s.size() && s[p] == '}') break;
    return false;
  }
  return have_records && have_next && have_more && skip_space(s, p + 1) == s.size();
}
