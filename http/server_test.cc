#include "http/server.h"
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "gtest/gtest.h"
#include "http/listen.h"

namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// A blocking client with a deadline on every wait, so a server that hangs
// fails the test instead of stalling it.
struct Client {
  asio::io_context io;
  tcp::socket s{io};
  std::string in;
  bool eof = false;

  explicit Client(uint16_t port, const char* addr = "127.0.0.1") {
    s.connect(tcp::endpoint(asio::ip::make_address(addr), port));
  }
  void send(const std::string& bytes) { asio::write(s, asio::buffer(bytes)); }
  // Reads until `done` holds, end of stream or 5 s.
  template <typename F>
  void read_until(F done) {
    auto until = std::chrono::steady_clock::now() + 5s;
    char buf[4096];
    while (!done() && !eof && std::chrono::steady_clock::now() < until) {
      bool got = false;
      s.async_read_some(asio::buffer(buf), [&](const asio::error_code& ec, size_t n) {
        got = true;
        if (ec && ec != asio::error::operation_aborted) eof = true;
        in.append(buf, n);
      });
      io.restart();
      io.run_for(until - std::chrono::steady_clock::now());
      if (!got) {
        s.cancel();
        io.restart();
        io.run();
      }
    }
  }
  // The next whole response (head and Content-Length body), taken off `in`.
  std::string response() {
    auto whole = [&]() -> size_t {
      size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) return 0;
      size_t cl = in.find("Content-Length: ");
      size_t n = cl < end ? std::stoul(in.substr(cl + 16)) : 0;
      return in.size() >= end + 4 + n ? end + 4 + n : 0;
    };
    read_until([&] { return whole() != 0; });
    size_t n = whole();
    std::string r = in.substr(0, n);
    in.erase(0, n);
    return r;
  }
  bool closed() {
    read_until([] { return false; });
    return eof;
  }
};

std::string get(const std::string& path, const std::string& more = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + more + "\r\n";
}

bool wait_for(const std::function<bool()>& f) {
  for (int i = 0; i < 500 && !f(); ++i) std::this_thread::sleep_for(10ms);
  return f();
}

struct HttpServerTest : ::testing::Test {
  std::atomic<int64_t> clock{1000000};
  HttpConfig config;
  HttpServer* server = nullptr;
  std::vector<HttpRoute> routes = {
      {"GET", "/hello",
       [](const HttpRequest&) {
         HttpResponse r;
         r.body = "hi";
         return r;
       }},
      {"POST", "/echo/*",
       [](const HttpRequest& q) {
         HttpResponse r;
         r.body = q.params[0] + ":" + q.body;
         return r;
       }},
      {"GET", "/events",
       [](const HttpRequest&) {
         HttpResponse r;
         r.stream = "events";
         r.body = http_sse_event("status", "first");
         return r;
       }},
  };
  void start() {
    config.listen = "127.0.0.1:0";
    config.now_ms = [this] { return clock.load(); };
    config.sweep_ms = 5;
    std::string error;
    server = http_start(config, routes, &error);
    ASSERT_NE(nullptr, server) << error;
  }
  uint16_t port() { return http_port(server); }
  void TearDown() override { http_stop(server); }
};

TEST_F(HttpServerTest, RequestsOnOneConnection) {
  start();
  ASSERT_NE(0, port()) << "port 0 reports the port taken";
  Client c(port());
  // Two requests in one write: both answered, in order.
  c.send(get("/hello") +
         "POST /echo/7 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\n\r\nabc");
  std::string r = c.response();
  EXPECT_EQ(0u, r.find("HTTP/1.1 200 OK\r\n")) << r;
  EXPECT_EQ("hi", r.substr(r.size() - 2));
  r = c.response();
  EXPECT_EQ("7:abc", r.substr(r.size() - 5)) << r;
  c.send("GET /hello HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_NE(std::string::npos, c.response().find("Connection: keep-alive\r\n"))
      << "else an HTTP/1.0 client waits for the close";
  c.send(get("/nowhere"));
  EXPECT_EQ(0u, c.response().find("HTTP/1.1 404 "));
  c.send("DELETE /hello HTTP/1.1\r\nHost: localhost\r\n\r\n");
  r = c.response();
  EXPECT_EQ(0u, r.find("HTTP/1.1 405 "));
  EXPECT_NE(std::string::npos, r.find("Allow: GET, HEAD\r\n"));
  c.send("HEAD /hello HTTP/1.1\r\nHost: localhost\r\n\r\n" +
         get("/hello", "Connection: close\r\n"));
  r = c.response();  // no body: the Content-Length is the GET's
  EXPECT_EQ(std::string::npos, r.find("hi")) << r;
  c.read_until([&] { return c.in.find("\r\n\r\nhi") != std::string::npos; });
  EXPECT_TRUE(c.closed()) << "Connection: close is honoured";
  EXPECT_EQ(7u, http_stats(server).requests);
}

TEST_F(HttpServerTest, BadRequestsAreAnsweredAndClosed) {
  start();
  struct Case {
    std::string bytes;
    const char* status;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: localhost\r\nX: " + std::string(8200, 'x') + "\r\n\r\n", "431"},
      {std::string(9000, 'a'), "431"},
      {"\x16\x03\x01 hello", "400"},
      {"GET / HTTP/1.1\r\n\r\n", "400"},
      {"POST /echo/1 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 70000\r\n\r\n", "413"},
      {"POST /echo/1 HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n", "501"},
      {"GET /hello HTTP/1.1\r\nHost: evil.example\r\n\r\n", "421"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.status);
    Client c(port());
    c.send(k.bytes);
    EXPECT_EQ(0u, c.response().find(std::string("HTTP/1.1 ") + k.status + " "));
    EXPECT_TRUE(c.closed());
  }
}

TEST_F(HttpServerTest, StreamsGetEventsAndStayWhenIdle) {
  config.idle_timeout_ms = 30000;
  start();
  Client idle(port()), busy(port()), stream(port());
  stream.send(get("/events"));
  stream.read_until([&] { return stream.in.find("data: first\n\n") != std::string::npos; });
  ASSERT_NE(std::string::npos, stream.in.find("Content-Type: text/event-stream"));
  ASSERT_TRUE(wait_for([&] { return http_stats(server).streams == 1; }));
  http_publish(server, "events", http_sse_event("attempt", "{\"n\":1}"));
  http_publish(server, "other", http_sse_event("attempt", "not for it"));
  stream.read_until([&] { return stream.in.find("{\"n\":1}") != std::string::npos; });
  EXPECT_EQ(std::string::npos, stream.in.find("not for it"));

  clock += 15000;
  busy.send(get("/hello"));
  EXPECT_EQ(0u, busy.response().find("HTTP/1.1 200"));
  clock += 14999;
  std::this_thread::sleep_for(50ms);  // sweeps that must close nothing
  EXPECT_EQ(3u, http_stats(server).clients);
  clock += 1;
  EXPECT_TRUE(idle.closed()) << "idle for the limit";
  busy.send(get("/hello"));
  EXPECT_EQ(0u, busy.response().find("HTTP/1.1 200")) << "a request restarts the idle time";
  http_publish(server, "events", http_sse_event("", "still here"));
  stream.read_until([&] { return stream.in.find("still here") != std::string::npos; });
  EXPECT_NE(std::string::npos, stream.in.find("still here")) << "streams have no idle limit";
}

TEST_F(HttpServerTest, AFullHouseEvictsTheLongestIdleClientNotAStream) {
  config.max_clients = 3;  // streams are not counted
  // Answered when the test says: its client is in an exchange meanwhile.
  std::mutex m;
  std::vector<std::function<void(HttpResponse)>> pending;
  routes.push_back({"GET", "/later", [&](const HttpRequest&) {
                      HttpResponse r;
                      r.later = [&](std::function<void(HttpResponse)> answer) {
                        std::lock_guard<std::mutex> hold(m);
                        pending.push_back(std::move(answer));
                      };
                      return r;
                    }});
  auto waiting = [&] {
    std::lock_guard<std::mutex> hold(m);
    return pending.size();
  };
  auto answer_all = [&] {
    std::lock_guard<std::mutex> hold(m);
    for (auto& a : pending)
      http_post(server, [a] {
        HttpResponse r;
        r.body = "late";
        a(r);
      });
    pending.clear();
  };
  start();
  Client s1(port());
  s1.send(get("/events"));
  ASSERT_TRUE(wait_for([&] { return http_stats(server).streams == 1; }));
  clock += 10;
  Client busy(port());  // connected first, but waiting for its answer
  busy.send(get("/later"));
  ASSERT_TRUE(wait_for([&] { return waiting() == 1; }));
  clock += 10;
  Client older(port());
  older.send("GET /hello HTTP/1.1\r\n");  // half a request is no exchange
  ASSERT_TRUE(wait_for([&] { return http_stats(server).clients == 3; }));
  clock += 10;
  Client newer(port());
  newer.send(get("/hello"));
  EXPECT_EQ(0u, newer.response().find("HTTP/1.1 200"));
  clock += 10;
  Client newcomer(port());
  newcomer.send(get("/hello"));
  EXPECT_EQ(0u, newcomer.response().find("HTTP/1.1 200")) << "a full house still admits";
  EXPECT_TRUE(older.closed());
  newer.send(get("/hello"));
  EXPECT_EQ(0u, newer.response().find("HTTP/1.1 200"));
  http_publish(server, "events", http_sse_event("", "alive"));
  s1.read_until([&] { return s1.in.find("alive") != std::string::npos; });
  EXPECT_NE(std::string::npos, s1.in.find("alive"));
  EXPECT_EQ(1u, http_stats(server).evicted);

  // Every client in an exchange: the next one is turned away, no answer
  // is cut.
  newer.send(get("/later"));
  newcomer.send(get("/later"));
  ASSERT_TRUE(wait_for([&] { return waiting() == 3; }));
  Client turned_away(port());
  EXPECT_TRUE(turned_away.closed());
  answer_all();
  for (Client* c : {&busy, &newer, &newcomer}) {
    std::string r = c->response();
    EXPECT_EQ(0u, r.find("HTTP/1.1 200")) << r;
    EXPECT_EQ("late", r.substr(r.size() - std::min<size_t>(4, r.size())));
  }
  EXPECT_EQ(1u, http_stats(server).evicted);
}

TEST_F(HttpServerTest, AStreamThatStopsReadingIsDropped) {
  config.stream_queue_bytes = 256 * 1024;
  start();
  Client stuck(port());
  stuck.s.set_option(asio::socket_base::receive_buffer_size(4096));
  stuck.send(get("/events"));
  ASSERT_TRUE(wait_for([&] { return http_stats(server).streams == 1; }));
  // Far more than the socket buffers and the queue hold together; the
  // publisher never waits.
  std::string big = http_sse_event("", std::string(64 * 1024, 'x'));
  auto before = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) http_publish(server, "events", big);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_TRUE(wait_for([&] { return http_stats(server).dropped == 1; }));
  EXPECT_EQ(0u, http_stats(server).streams);
}

// However many event streams a client opens, reading or not, the page and
// control are answered; the newest streams get the events.
TEST_F(HttpServerTest, StreamsHaveABoundOfTheirOwn) {
  config.max_clients = 2;
  config.max_streams = 3;
  start();
  std::vector<std::unique_ptr<Client>> streams;
  for (int i = 0; i < 6; ++i) {
    streams.push_back(std::make_unique<Client>(port()));
    streams.back()->send(get("/events"));
    streams.back()->read_until(
        [&] { return streams.back()->in.find("first") != std::string::npos; });
    clock += 10;
  }
  ASSERT_TRUE(wait_for([&] { return http_stats(server).streams == 3; }));
  Client page(port()), control(port());
  page.send(get("/hello"));
  EXPECT_EQ(0u, page.response().find("HTTP/1.1 200"));
  control.send("POST /echo/1 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_EQ(0u, control.response().find("HTTP/1.1 200"));
  http_publish(server, "events", http_sse_event("", "newest"));
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    if (i < 3) {
      EXPECT_TRUE(streams[i]->closed()) << "the oldest gave way";
    } else {
      streams[i]->read_until([&] { return streams[i]->in.find("newest") != std::string::npos; });
      EXPECT_NE(std::string::npos, streams[i]->in.find("newest"));
    }
  }
}

TEST_F(HttpServerTest, AStreamThatDoesNotReadForTenSecondsIsClosed) {
  config.stream_queue_bytes = 64 << 20;  // the queue's bound is not what ends it
  config.stream_ping_ms = 0;
  start();
  Client stuck(port()), reader(port());
  stuck.s.set_option(asio::socket_base::receive_buffer_size(4096));
  stuck.send(get("/events"));
  reader.send(get("/events"));
  ASSERT_TRUE(wait_for([&] { return http_stats(server).streams == 2; }));
  std::string big = http_sse_event("", std::string(64 * 1024, 'x'));
  for (int i = 0; i < 200; ++i) http_publish(server, "events", big);
  http_publish(server, "events", http_sse_event("", "last"));
  // The reader takes everything, by when the other's buffers are long full.
  auto until = std::chrono::steady_clock::now() + 30s;
  while (reader.in.find("data: last") == std::string::npos && !reader.eof &&
         std::chrono::steady_clock::now() < until) {
    reader.read_until([&] {
      return reader.in.size() > (1 << 20) || reader.in.find("data: last") != std::string::npos;
    });
    if (reader.in.size() > (1 << 20)) reader.in.erase(0, reader.in.size() - 64);
  }
  ASSERT_NE(std::string::npos, reader.in.find("data: last"));
  clock += 9999;
  std::this_thread::sleep_for(50ms);  // sweeps that must close nothing
  EXPECT_EQ(0u, http_stats(server).dropped);
  for (int i = 0; i < 50 && http_stats(server).dropped == 0; ++i) {
    clock += 1000;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(1u, http_stats(server).dropped) << "the one that does not read";
  http_publish(server, "events", http_sse_event("", "still"));
  reader.read_until([&] { return reader.in.find("still") != std::string::npos; });
  EXPECT_NE(std::string::npos, reader.in.find("still")) << "the one that reads stays";
}

TEST(HttpHost, WhichHostsAreAnswered) {
  struct Case {
    const char* host;
    bool ok;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.1:8080", true},
      {"10.0.3.11", true},
      {"[::1]", true},
      {"[::1]:8080", true},
      {"[fe80::1]:80", true},
      {"localhost", true},
      {"LocalHost:80", true},
      {"station-7", true},
      {"STATION-7:8080", true},
      {"line3.example", true},
      {"evil.example", false},
      {"localhost.evil.example", false},
      {"station-7.evil", false},
      {"::1", false},
      {"[::1", false},
      {"[::1]x", false},
      {"[example]", false},
      {"127.0.0.1:", false},
      {"127.0.0.1:80x", false},
      {"", false},
      {":80", false},
      {"127.1", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.ok, http_host_allowed(c.host, "station-7", {"line3.example"})) << c.host;
  EXPECT_FALSE(http_host_allowed("station-7", "", {})) << "no name: nothing but literals";
}

TEST(HttpListen, AddressesAndCallersIoContext) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"127.0.0.1:8080", true}, {"[::1]:0", true},       {"0.0.0.0:65535", true},
      {"::1:80", false},        {"localhost:80", false}, {"127.0.0.1:65536", false},
      {"127.0.0.1:", false},    {"127.0.0.1:8o", false}, {"8080", false},
  };
  for (const Case& c : cases) {
    std::string addr;
    uint16_t port = 1;
    EXPECT_EQ(c.ok, http_split_listen(c.text, &addr, &port).empty()) << c.text;
  }
  // On the caller's io_context, over IPv6 loopback when the host has it.
  asio::io_context io;
  HttpConfig config;
  config.listen = "[::1]:0";
  std::string error;
  HttpServer* s = http_open(
      io, config, {{"GET", "/", [](const HttpRequest&) { return http_error(200); }}}, &error);
  if (s == nullptr) GTEST_SKIP() << error;
  EXPECT_EQ("[::1]:", http_local(s).substr(0, 6));
  std::thread t([&] { io.run_for(5s); });
  Client c(http_port(s), "::1");
  c.send(get("/"));
  EXPECT_EQ(0u, c.response().find("HTTP/1.1 200 OK"));
  http_post(s, [&] { http_close(s); });
  t.join();
  EXPECT_TRUE(c.closed());
}

}  // namespace
