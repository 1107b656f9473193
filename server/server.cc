#include "server/server.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <chrono>
#include <cstdio>
#include <list>
#include <memory>

#include "server/catalogue.h"
#include "server/request_log.h"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// Larger chunks buy little on loopback and cost memory per download.
constexpr size_t kChunk = 65536;
// A stopping server lets downloads under way finish for this long.
constexpr auto kDrainLimit = std::chrono::seconds(30);

struct Connection {
  tcp::socket socket;
  tcp::endpoint peer;
  Clock::time_point deadline = Clock::time_point::max();
  const char* expired = nullptr;  // why the sweep closed it
  const char* limit = nullptr;    // what the deadline stands for
  bool between_exchanges = true;  // waiting for a command byte
  std::list<Connection*>::iterator at;
  explicit Connection(tcp::socket s) : socket(std::move(s)) {}
};

// Process-wide state of the one thread.
struct State {
  ServerConfig config;
  asio::io_context io;
  std::shared_ptr<const Catalogue> catalogue;
  std::list<Connection*> connections;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  bool stopping = false;
  Clock::time_point stop_deadline;
};
State* g;

std::string peer_text(const tcp::endpoint& e) {
  std::string a = e.address().to_string();
  if (e.address().is_v6()) a = "[" + a + "]";
  return a + ":" + std::to_string(e.port());
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

void arm(Connection* c, uint32_t seconds, const char* limit) {
  c->limit = limit;
  c->deadline = seconds == 0 ? Clock::time_point::max()
                             : Clock::now() + std::chrono::seconds(seconds);
}

void arm_idle(Connection* c) { arm(c, g->config.idle_timeout_s, "idle limit reached"); }
void arm_progress(Connection* c) {
  arm(c, g->config.send_timeout_s, "no progress within the send limit");
}

// Ends the connection from outside its coroutine: its pending operation
// completes with an error and the coroutine unwinds.
void cut(Connection* c, const char* why) {
  if (c->expired == nullptr) c->expired = why;
  asio::error_code ec;
  c->socket.close(ec);
}

std::string reason_of(Connection* c, const asio::error_code& ec) {
  if (c->expired) return c->expired;
  if (ec == asio::error::eof) return "peer closed the connection";
  return "connection failed: " + ec.message();
}

// Writes both buffers whole, each step of progress renewing the deadline.
// Counts what went out in `*sent`. Returns the error, or success.
asio::awaitable<asio::error_code> send_all(Connection* c, std::array<asio::const_buffer, 2> b,
                                           uint64_t* sent) {
  while (b[0].size() + b[1].size() > 0) {
    arm_progress(c);
    auto [ec, n] = co_await c->socket.async_write_some(b, use_tuple);
    if (ec) co_return ec;
    *sent += n;
    size_t first = std::min(n, b[0].size());
    b[0] += first;
    b[1] += n - first;
  }
  co_return asio::error_code{};
}

// The software after its size: read from the handle the catalogue checked,
// in chunks. The last chunk goes out only when the file is still the one
// checked, so a file rewritten in place never reaches a box whole.
asio::awaitable<void> download(Connection* c, const Software* sw, Exchange* x) {
  uint8_t head[4] = {static_cast<uint8_t>(sw ? sw->size >> 24 : 0),
                     static_cast<uint8_t>(sw ? sw->size >> 16 : 0),
                     static_cast<uint8_t>(sw ? sw->size >> 8 : 0),
                     static_cast<uint8_t>(sw ? sw->size : 0)};
  uint64_t head_sent = 0;
  if (sw == nullptr) {
    std::array<asio::const_buffer, 2> b = {asio::buffer(head), asio::const_buffer()};
    asio::error_code ec = co_await send_all(c, b, &head_sent);
    x->result = ec ? "failed" : "none";
    if (ec) x->reason = reason_of(c, ec);
    co_return;
  }
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
  uint32_t offset = 0;
  bool first = true;
  while (offset < sw->size) {
    size_t n = std::min<size_t>(kChunk, sw->size - offset);
    ssize_t got = pread(sw->fd, chunk.get(), n, offset);
    if (got != static_cast<ssize_t>(n)) {
      x->result = "failed";
      x->reason = "the file shrank on disk since it was checked";
      co_return;
    }
    if (offset + n == sw->size) {
      struct stat now;
      if (fstat(sw->fd, &now) != 0 || now.st_size != sw->seen.st_size ||
          now.st_mtim.tv_sec != sw->seen.st_mtim.tv_sec ||
          now.st_mtim.tv_nsec != sw->seen.st_mtim.tv_nsec ||
          now.st_ctim.tv_sec != sw->seen.st_ctim.tv_sec ||
          now.st_ctim.tv_nsec != sw->seen.st_ctim.tv_nsec) {
        x->result = "failed";
        x->reason = "the file was rewritten in place since it was checked; not sent whole";
        co_return;
      }
    }
    // The size and the first chunk in one send: no small segment held back.
    std::array<asio::const_buffer, 2> b = {
        first ? asio::buffer(head) : asio::const_buffer(), asio::buffer(chunk.get(), n)};
    uint64_t sent = 0;
    asio::error_code ec = co_await send_all(c, b, &sent);
    x->bytes_sent += first ? (sent > 4 ? sent - 4 : 0) : sent;
    first = false;
    if (ec) {
      x->result = "failed";
      x->reason = reason_of(c, ec);
      co_return;
    }
    offset += static_cast<uint32_t>(n);
  }
  x->result = "ok";
}

// One connection's dialogue: commands one after the other until the peer
// leaves, a limit ends it, or it sends a byte that is no command.
asio::awaitable<void> session(std::unique_ptr<Connection> owned) {
  Connection* c = owned.get();
  g->connections.push_front(c);
  c->at = g->connections.begin();
  // Off the sweep's list however the dialogue ends, an exception included.
  struct Unlist {
    Connection* c;
    ~Unlist() { g->connections.erase(c->at); }
  } unlist{c};
  std::string peer = peer_text(c->peer);
  // The snapshot a box's query and download are answered from, taken at
  // its first question after a greeting: a reload in between cannot tell
  // it one version and send it another.
  std::shared_ptr<const Catalogue> snapshot;
  for (;;) {
    if (g->stopping) break;
    c->between_exchanges = true;
    arm_idle(c);
    uint8_t command = 0;
    auto [ec, n] = co_await asio::async_read(c->socket, asio::buffer(&command, 1), use_tuple);
    (void)n;
    c->between_exchanges = false;
    if (ec) {
      // Leaving between exchanges is the normal end; only a limit is news.
      if (c->expired && !g->stopping) {
        Exchange x;
    x.peer = peer;
    x.command = "idle";
        x.result = "failed";
        x.reason = c->expired;
        log_exchange(x);
      }
      break;
    }
    auto started = Clock::now();
    if (command == 'B') {
      snapshot.reset();
      uint8_t answer = 'B';
      std::array<asio::const_buffer, 2> b = {asio::buffer(&answer, 1), asio::const_buffer()};
      uint64_t sent = 0;
      asio::error_code wec = co_await send_all(c, b, &sent);
      if (wec) {
        Exchange x;
    x.peer = peer;
    x.command = "B";
        x.result = "failed";
        x.reason = reason_of(c, wec);
        x.seconds = seconds_since(started);
        log_exchange(x);
        break;
      }
      continue;
    }
    if (command == 'Z') {
      snapshot.reset();
      continue;
    }
    if (command != 'C' && command != 'D') {
      char text[8];
      std::snprintf(text, sizeof text, "0x%02x", command);
      Exchange x;
    x.peer = peer;
    x.command = text;
      x.result = "failed";
      x.reason = "unknown command byte; connection closed";
      log_exchange(x);
      break;
    }
    const char* name = command == 'C' ? "C" : "D";
    Exchange x;
    x.peer = peer;
    x.command = name;
    uint8_t args[3];
    arm_progress(c);
    auto [aec, an] = co_await asio::async_read(c->socket, asio::buffer(args), use_tuple);
    (void)an;
    if (aec) {
      x.result = "failed";
      x.reason = reason_of(c, aec) + " before the command's three bytes";
      x.seconds = seconds_since(started);
      log_exchange(x);
      break;
    }
    x.channel = args[0];
    x.major = args[1];
    x.minor = args[2];
    if (!snapshot) snapshot = g->catalogue;
    const Software* sw = catalogue_find(*snapshot, args[0], args[1], args[2]);
    if (sw) {
      x.version = version_text(sw->version);
      x.file = sw->path;
    } else if (channel_name(args[0]) == nullptr) {
      x.reason = "no such channel";
    }
    if (command == 'C') {
      uint8_t answer[3] = {0, 0, 0};
      if (sw) std::copy(sw->version, sw->version + 3, answer);
      std::array<asio::const_buffer, 2> b = {asio::buffer(answer), asio::const_buffer()};
      uint64_t sent = 0;
      asio::error_code wec = co_await send_all(c, b, &sent);
      x.result = wec ? "failed" : sw ? "ok" : "none";
      if (wec) x.reason = reason_of(c, wec);
    } else {
      x.size = sw ? sw->size : 0;
      co_await download(c, sw, &x);
    }
    x.seconds = seconds_since(started);
    log_exchange(x);
    if (std::string(x.result) == "failed") break;
  }
  asio::error_code ignored;
  c->socket.close(ignored);
}

asio::awaitable<void> accept_loop(tcp::acceptor* a) {
  for (;;) {
    auto [ec, socket] = co_await a->async_accept(use_tuple);
    if (g->stopping) co_return;
    if (ec) {
      // Out of descriptors, most often: let connections end, then go on.
      std::fprintf(stderr, "update-server: accept failed: %s\n", ec.message().c_str());
      asio::steady_timer pause(g->io, std::chrono::milliseconds(100));
      co_await pause.async_wait(use_tuple);
      continue;
    }
    asio::error_code pec;
    tcp::endpoint peer = socket.remote_endpoint(pec);
    if (g->connections.size() >= g->config.max_connections) {
      Exchange x;
    x.peer = peer_text(peer);
    x.command = "connect";
      x.result = "refused";
      x.reason = "over --max-connections " + std::to_string(g->config.max_connections);
      log_exchange(x);
      socket.close(pec);
      continue;
    }
    socket.set_option(tcp::no_delay(true), pec);
    auto c = std::make_unique<Connection>(std::move(socket));
    c->peer = peer;
    asio::co_spawn(g->io, session(std::move(c)), asio::detached);
  }
}

// Once a second: connections past their deadline are closed, and a
// stopping server ends when the last one has gone.
asio::awaitable<void> sweep() {
  asio::steady_timer timer(g->io);
  for (;;) {
    timer.expires_after(std::chrono::milliseconds(250));
    co_await timer.async_wait(use_tuple);
    auto now = Clock::now();
    for (Connection* c : g->connections) {
      if (now >= c->deadline) cut(c, c->limit);
      if (g->stopping && (c->between_exchanges || now >= g->stop_deadline))
        cut(c, "server stopping");
    }
    if (g->stopping && g->connections.empty()) co_return;
  }
}

void reload() {
  log_reopen();
  auto fresh = catalogue_load(g->config.catalogue);
  for (const std::string& why : fresh->left_out)
    std::fprintf(stderr, "update-server: left out %s\n", why.c_str());
  if (!fresh->refused.empty()) {
    std::fprintf(stderr, "update-server: reload refused, still serving the previous catalogue: %s\n",
                 fresh->refused.c_str());
    return;
  }
  g->catalogue = fresh;
  std::fprintf(stderr, "update-server: catalogue reloaded: %zu software files served\n",
               fresh->software.size());
}

asio::awaitable<void> signals() {
  asio::signal_set set(g->io, SIGHUP, SIGTERM, SIGINT);
  for (;;) {
    auto [ec, sig] = co_await set.async_wait(use_tuple);
    if (ec) co_return;
    if (sig == SIGHUP) {
      reload();
      continue;
    }
    std::fprintf(stderr, "update-server: stopping\n");
    g->stopping = true;
    g->stop_deadline = Clock::now() + kDrainLimit;
    asio::error_code ignored;
    for (auto& a : g->acceptors) a->close(ignored);
    co_return;
  }
}

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

}  // namespace

int server_run(const ServerConfig& config) {
  State state;
  g = &state;
  state.config = config;
  // Every connection is a descriptor: take all the system allows.
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
  signal(SIGPIPE, SIG_IGN);

  state.catalogue = catalogue_load(config.catalogue);
  for (const std::string& why : state.catalogue->left_out)
    std::fprintf(stderr, "update-server: left out %s\n", why.c_str());
  if (!state.catalogue->refused.empty()) {
    std::fprintf(stderr, "update-server: %s\n", state.catalogue->refused.c_str());
    return 1;
  }
  std::fprintf(stderr, "update-server: catalogue %s: %zu software files served\n",
               config.catalogue.c_str(), state.catalogue->software.size());

  std::vector<std::string> listen = config.listen;
  if (listen.empty()) listen.push_back("0.0.0.0:4242");
  for (const std::string& l : listen) {
    tcp::endpoint ep;
    if (!parse_listen(l, &ep)) {
      std::fprintf(stderr, "update-server: --listen %s: not ADDRESS:PORT\n", l.c_str());
      return 1;
    }
    auto a = std::make_unique<tcp::acceptor>(state.io);
    asio::error_code ec;
    a->open(ep.protocol(), ec);
    if (!ec) a->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) a->bind(ep, ec);
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      std::fprintf(stderr, "update-server: cannot listen on %s: %s\n", l.c_str(),
                   ec.message().c_str());
      return 1;
    }
    std::fprintf(stderr, "update-server: listening on %s\n",
                 peer_text(a->local_endpoint(ec)).c_str());
    state.acceptors.push_back(std::move(a));
  }
  for (auto& a : state.acceptors) asio::co_spawn(state.io, accept_loop(a.get()), asio::detached);
  asio::co_spawn(state.io, signals(), asio::detached);
  asio::co_spawn(state.io, sweep(), asio::detached);
  state.io.run();
  g = nullptr;
  return 0;
}
