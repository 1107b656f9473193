#include "http/server.h"

#include "http/conns.h"
#include "http/listen.h"
#include "platform/net.h"

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/thread.hpp>
#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <memory>
#include <optional>

namespace {

using asio::ip::tcp;
constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

constexpr size_t kReadChunk = 4096;

struct Core;

// Its limits and its place in the line for eviction are the connection
// table's, the same rules as update-server's protocol.
struct Client : Conn {
  std::string in;                 // read, not yet used
  int64_t last_write = 0;         // streams: the last bytes sent
  std::string channel;            // non-empty: an event stream
  std::deque<std::string> queue;  // streams: unsent
  size_t queued = 0;
  bool writing = false;
  std::list<std::shared_ptr<Client>>::iterator owned;
  explicit Client(tcp::socket s) : Conn(std::move(s)) {}
};

const char kIdle[] = "idle limit reached";
const char kNotReading[] = "stream not read";

struct Core {
  asio::io_context& io;
  HttpConfig config;
  std::vector<HttpRoute> routes;
  tcp::acceptor acceptor;
  asio::steady_timer sweep_timer;
  std::list<std::shared_ptr<Client>> clients;  // owned here; their rules in `table`
  ConnTable table;
  bool closing = false;
  std::atomic<size_t> n_clients{0}, n_streams{0};
  std::atomic<uint64_t> n_requests{0}, n_evicted{0}, n_dropped{0};
  Core(asio::io_context& i) : io(i), acceptor(i), sweep_timer(i) {}
  int64_t now() const { return config.now_ms(); }
};

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Closes `c` and forgets it; its pending operations end with an error.
void drop(Core* core, Client* c, const char* why = "closed") {
  if (c->closed) return;
  conn_close(c, why);
  if (!c->channel.empty()) --core->n_streams;
  --core->n_clients;
  conn_remove(&core->table, c);
  core->clients.erase(c->owned);  // may free c
}

// A stream's unsent bytes must move within the stall limit: a reader that
// stopped reading holds no memory and no place.
void arm_stall(Core* core, Client* c) {
  conn_arm(c, core->now(), c->queue.empty() ? 0 : core->config.stream_stall_ms, kNotReading);
}

void pump(const std::shared_ptr<Core>& core, const std::shared_ptr<Client>& c) {
  if (c->writing || c->closed || c->queue.empty()) return;
  c->writing = true;
  asio::async_write(c->socket, asio::buffer(c->queue.front()),
                    [core, c](const asio::error_code& ec, size_t) {
                      c->writing = false;
                      if (ec) {
                        drop(core.get(), c.get());
                        return;
                      }
                      c->queued -= c->queue.front().size();
                      c->queue.pop_front();
                      c->last_write = core->now();
                      arm_stall(core.get(), c.get());
                      pump(core, c);
                    });
}

void enqueue(const std::shared_ptr<Core>& core, const std::shared_ptr<Client>& c,
             std::string bytes) {
  if (c->closed) return;
  // A reader that fell this far behind is gone or stuck: drop it rather
  // than hold memory or wait for it.
  if (c->queued + bytes.size() > core->config.stream_queue_bytes) {
    ++core->n_dropped;
    drop(core.get(), c.get());
    return;
  }
  bool was_empty = c->queue.empty();
  c->queued += bytes.size();
  c->queue.push_back(std::move(bytes));
  if (was_empty) arm_stall(core.get(), c.get());
  pump(core, c);
}

HttpResponse run_handler(const HttpRoute& route, const HttpRequest& req) {
  try {
    return route.handler(req);
  } catch (...) {
    return http_error(500);
  }
}

// Hands `later` the function that answers, and waits for the answer
// without holding up the server's thread.
asio::awaitable<HttpResponse> answer_later(
    std::shared_ptr<Core> core, std::function<void(std::function<void(HttpResponse)>)> later) {
  struct Wait {
    asio::steady_timer timer;
    std::optional<HttpResponse> answer;
    explicit Wait(asio::io_context& io) : timer(io) {}
  };
  auto wait = std::make_shared<Wait>(core->io);
  wait->timer.expires_after(std::chrono::minutes(1));
  later([wait](HttpResponse r) {
    if (wait->answer) return;
    wait->answer = std::move(r);
    wait->timer.cancel();
  });
  if (!wait->answer) co_await wait->timer.async_wait(use_tuple);
  co_return wait->answer ? std::move(*wait->answer) : http_error(503);
}

// Reads until `c->in` holds at least `n` bytes. False when the client left.
asio::awaitable<bool> read_at_least(Client* c, size_t n) {
  char buf[kReadChunk];
  while (c->in.size() < n) {
    auto [ec, got] = co_await c->socket.async_read_some(asio::buffer(buf), use_tuple);
    if (ec) co_return false;
    c->in.append(buf, got);
  }
  co_return true;
}

// The conversation with one client: requests in order, each answered before
// the next is read.
asio::awaitable<void> serve(std::shared_ptr<Core> core, std::shared_ptr<Client> c) {
  const HttpConfig& cfg = core->config;
  char buf[kReadChunk];
  while (!c->closed) {
    HttpRequest req;
    size_t used = 0;
    HttpParse p = http_parse_head(c->in, cfg.max_head, &req, &used);
    if (p == HttpParse::kIncomplete) {
      auto [ec, got] = co_await c->socket.async_read_some(asio::buffer(buf), use_tuple);
      if (ec) break;
      c->in.append(buf, got);
      continue;
    }
    HttpResponse resp;
    bool keep = false;
    bool head_only = false;
    const std::string* host = p == HttpParse::kDone ? http_header(req, "host") : nullptr;
    if (p != HttpParse::kDone) {
      resp = http_error(http_parse_status(p));
    } else if (host != nullptr && !http_host_allowed(*host, cfg.host_name, cfg.allow_hosts)) {
      // An HTTP/1.0 request may come without Host; HTTP/1.1 without one
      // was refused by the parser (400).
      resp = http_error(421);
    } else if (req.content_length > cfg.max_body) {
      resp = http_error(413);
    } else {
      c->in.erase(0, used);
      if (!co_await read_at_least(c.get(), req.content_length)) break;
      req.body = c->in.substr(0, req.content_length);
      c->in.erase(0, req.content_length);
      // Whole: an exchange from here, and the time the answer takes is
      // ours, not the client's.
      conn_exchange(c.get());
      conn_arm(c.get(), core->now(), 0, nullptr);
      ++core->n_requests;
      std::string allow;
      size_t index = 0;
      switch (http_route_find(core->routes, req.method, req.path, &index, &req.params, &allow)) {
        case HttpRouteFound::kRoute: resp = run_handler(core->routes[index], req); break;
        case HttpRouteFound::kNoPath: resp = http_error(404); break;
        case HttpRouteFound::kNoMethod:
          resp = http_error(405);
          resp.headers.emplace_back("Allow", allow);
          break;
      }
      keep = req.keep_alive && !core->closing;
      head_only = req.method == "HEAD";
      if (resp.later) resp = co_await answer_later(core, std::move(resp.later));
    }
    if (c->closed) break;
    if (!resp.stream.empty() && !head_only && resp.status == 200) {
      // From here on the client only listens; whatever it sends is read
      // and thrown away so that a hang-up is seen.
      // Streams have a bound of their own, so streams never keep out a
      // page or a control request; at it, the oldest gives way.
      Conn* victim = nullptr;
      if (conn_make_room(&core->table, ConnClass::kStream, cfg.max_streams, &victim) ==
          ConnRoom::kEvict) {
        ++core->n_evicted;
        drop(core.get(), static_cast<Client*>(victim));
      }
      c->kind = ConnClass::kStream;
      c->channel = resp.stream;
      ++core->n_streams;
      c->last_write = core->now();
      conn_idle(c.get(), c->last_write, 0, nullptr);
      enqueue(core, c, http_response_text(resp, false));
      while (!c->closed) {
        auto [ec, got] = co_await c->socket.async_read_some(asio::buffer(buf), use_tuple);
        if (ec) break;
      }
      break;
    }
    resp.stream.clear();
    // An HTTP/1.0 client closes unless told the connection stays.
    if (keep && req.minor == 0) resp.headers.emplace_back("Connection", "keep-alive");
    std::string text = http_response_text(resp, keep, head_only);
    // A client that does not take its answer has the idle limit to do so.
    conn_arm(c.get(), core->now(), cfg.idle_timeout_ms, kIdle);
    auto [ec, sent] = co_await asio::async_write(c->socket, asio::buffer(text), use_tuple);
    if (ec || !keep) break;
    conn_idle(c.get(), core->now(), cfg.idle_timeout_ms, kIdle);
  }
  drop(core.get(), c.get());
}

asio::awaitable<void> accept_loop(std::shared_ptr<Core> core) {
  asio::steady_timer pause(core->io);
  while (!core->closing) {
    auto [ec, socket] = co_await core->acceptor.async_accept(use_tuple);
    if (core->closing) break;
    if (ec) {
      // Out of descriptors and the like: try again shortly rather than
      // spin or give up.
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(use_tuple);
      continue;
    }
    // Streams are counted apart (see serve). A newcomer past the bound
    // closes the client idle longest; when every one is in an exchange,
    // the newcomer is refused.
    Conn* victim = nullptr;
    ConnRoom room =
        conn_make_room(&core->table, ConnClass::kPlain, core->config.max_clients, &victim);
    if (room == ConnRoom::kFull) {
      asio::error_code ignored;
      socket.close(ignored);
      continue;
    }
    if (room == ConnRoom::kEvict) {
      ++core->n_evicted;
      drop(core.get(), static_cast<Client*>(victim));
    }
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto c = std::make_shared<Client>(std::move(socket));
    core->clients.push_front(c);
    c->owned = core->clients.begin();
    conn_add(&core->table, c.get(), core->now());
    conn_idle(c.get(), core->now(), core->config.idle_timeout_ms, kIdle);
    ++core->n_clients;
    asio::co_spawn(core->io, serve(core, c), asio::detached);
  }
}

asio::awaitable<void> sweep(std::shared_ptr<Core> core) {
  const HttpConfig& cfg = core->config;
  while (!core->closing) {
    core->sweep_timer.expires_after(std::chrono::milliseconds(cfg.sweep_ms));
    co_await core->sweep_timer.async_wait(use_tuple);
    if (core->closing) break;
    int64_t now = core->now();
    for (Conn* due : conn_due(&core->table, now)) {
      auto* c = static_cast<Client*>(due);
      if (c->kind == ConnClass::kStream) ++core->n_dropped;  // not reading
      drop(core.get(), c, c->limit);
    }
    std::vector<std::shared_ptr<Client>> quiet;
    for (const auto& c : core->clients)
      if (c->kind == ConnClass::kStream && cfg.stream_ping_ms != 0 && c->queue.empty() &&
          now - c->last_write >= cfg.stream_ping_ms)
        quiet.push_back(c);
    // A comment line: keeps proxies from timing the stream out and shows a
    // vanished reader by a failed send.
    for (const auto& c : quiet) enqueue(core, c, ": ping\n\n");
  }
}

void close_core(const std::shared_ptr<Core>& core) {
  core->closing = true;
  asio::error_code ignored;
  core->acceptor.close(ignored);
  core->sweep_timer.cancel();
  std::vector<std::shared_ptr<Client>> all(core->clients.begin(), core->clients.end());
  for (const auto& c : all) drop(core.get(), c.get());
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool http_host_allowed(std::string_view host, std::string_view host_name,
                       const std::vector<std::string>& allowed) {
  std::string_view name = host, port;
  if (!host.empty() && host.front() == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(1, close - 1);
    port = host.substr(close + 1);
    if (!port.empty() && port.front() != ':') return false;
    asio::error_code ec;
    asio::ip::make_address_v6(std::string(name), ec);
    if (ec) return false;
  } else {
    size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
      // More than one colon: an IPv6 address without its brackets.
      if (host.find(':', colon + 1) != std::string_view::npos) return false;
      name = host.substr(0, colon);
      port = host.substr(colon);
    }
  }
  if (!port.empty()) {
    port.remove_prefix(1);
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
      if (c < '0' || c > '9') return false;
  }
  if (!host.empty() && host.front() == '[') return true;
  if (name.empty()) return false;
  asio::error_code ec;
  asio::ip::make_address_v4(std::string(name), ec);
  if (!ec) return true;
  if (same_name(name, "localhost") || (!host_name.empty() && same_name(name, host_name)))
    return true;
  for (const std::string& a : allowed)
    if (same_name(name, a)) return true;
  return false;
}

struct HttpServer {
  asio::io_context* io = nullptr;
  std::unique_ptr<asio::io_context> own;  // http_start's
  std::unique_ptr<asio::thread> thread;
  std::shared_ptr<Core> core;
  std::string local;
};

HttpServer* http_open(asio::io_context& io, const HttpConfig& config, std::vector<HttpRoute> routes,
                      std::string* error) {
  auto core = std::make_shared<Core>(io);
  core->config = config;
  if (core->config.host_name.empty()) {
    char name[256];
    plat_hostname(name, sizeof name);
    core->config.host_name = name;
  }
  if (!core->config.now_ms) core->config.now_ms = steady_ms;
  if (core->config.sweep_ms == 0) core->config.sweep_ms = 1000;
  core->routes = std::move(routes);
  std::string why = http_listen(&core->acceptor, config.listen);
  if (!why.empty()) {
    *error = why;
    return nullptr;
  }
  asio::error_code ec;
  auto s = new HttpServer;
  s->io = &io;
  s->core = core;
  s->local = http_endpoint_text(core->acceptor.local_endpoint(ec));
  asio::co_spawn(io, accept_loop(core), asio::detached);
  asio::co_spawn(io, sweep(core), asio::detached);
  return s;
}

void http_close(HttpServer* s) {
  if (s == nullptr) return;
  close_core(s->core);
  delete s;
}

HttpServer* http_start(const HttpConfig& config, std::vector<HttpRoute> routes,
                       std::string* error) {
  auto io = std::make_unique<asio::io_context>(1);
  HttpServer* s = http_open(*io, config, std::move(routes), error);
  if (s == nullptr) return nullptr;
  s->own = std::move(io);
  asio::io_context* run = s->own.get();
  s->thread = std::make_unique<asio::thread>([run] { run->run(); });
  return s;
}

void http_stop(HttpServer* s) {
  if (s == nullptr) return;
  if (s->own) {
    // Once the listener, the sweep and every client are closed, run()
    // runs out of work and the thread ends.
    asio::post(*s->own, [core = s->core] { close_core(core); });
    s->thread->join();
    // The core's sockets and timers go before the io_context they use.
    s->core.reset();
    s->own.reset();
    delete s;
    return;
  }
  http_close(s);
}

std::string http_local(const HttpServer* s) { return s->local; }

uint16_t http_port(const HttpServer* s) {
  size_t colon = s->local.rfind(':');
  return static_cast<uint16_t>(std::stoul(s->local.substr(colon + 1)));
}

void http_publish(HttpServer* s, std::string_view channel, std::string bytes) {
  std::shared_ptr<Core> core = s->core;
  asio::post(*s->io, [core, ch = std::string(channel), b = std::move(bytes)] {
    std::vector<std::shared_ptr<Client>> to;
    for (const auto& c : core->clients)
      if (c->channel == ch) to.push_back(c);
    for (const auto& c : to) enqueue(core, c, b);
  });
}

void http_post(HttpServer* s, std::function<void()> f) { asio::post(*s->io, std::move(f)); }

HttpStats http_stats(const HttpServer* s) {
  HttpStats st;
  st.clients = s->core->n_clients;
  st.streams = s->core->n_streams;
  st.requests = s->core->n_requests;
  st.evicted = s->core->n_evicted;
  st.dropped = s->core->n_dropped;
  return st;
}
