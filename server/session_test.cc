#include "server/session.h"

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "server/connection.h"
#include "server/control.h"
#include "server/listen.h"

namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// A peer of the server with a deadline on every read, so a server that
// keeps a connection it should end fails the test instead of stalling it.
struct Peer {
  asio::io_context io;
  tcp::socket s{io};
  bool eof = false;

  explicit Peer(uint16_t port) {
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  }
  void send(const std::string& bytes) { asio::write(s, asio::buffer(bytes)); }
  // Up to `n` bytes: fewer at end of stream or after 5 s.
  std::string read(size_t n) {
    std::string in;
    auto until = std::chrono::steady_clock::now() + 5s;
    char buf[64];
    while (in.size() < n && !eof && std::chrono::steady_clock::now() < until) {
      bool got = false;
      s.async_read_some(asio::buffer(buf, std::min(sizeof buf, n - in.size())),
                        [&](const asio::error_code& ec, size_t k) {
                          got = true;
                          if (ec && ec != asio::error::operation_aborted) eof = true;
                          in.append(buf, k);
                        });
      io.restart();
      io.run_for(until - std::chrono::steady_clock::now());
      if (!got) {
        s.cancel();
        io.restart();
        io.run();
      }
    }
    return in;
  }
  bool closed() {
    read(1);
    return eof;
  }
};

// A server on 127.0.0.1 with an empty catalogue and a clock of the test's.
struct ServerSession : ::testing::Test {
  State s;
  std::atomic<int64_t> ms{1000};
  std::thread loop;
  // One of its own: ctest runs the tests of this file side by side.
  std::string log_path = ::testing::TempDir() + "/session_test." +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
  uint16_t port = 0;

  void start(uint32_t max_connections = 16) {
    s.config.listen = {"127.0.0.1:0"};
    s.config.max_connections = max_connections;
    s.now = [this] { return Clock::time_point(std::chrono::milliseconds(ms.load())); };
    auto empty = std::make_shared<Catalogue>();
    empty->dir = ::testing::TempDir();
    s.catalogue = empty;
    std::remove(log_path.c_str());
    s.log = log_open(log_path.c_str());
    ASSERT_NE(nullptr, s.log);
    ASSERT_TRUE(listen_open(&s));
    asio::error_code ec;
    port = s.acceptors[0]->local_endpoint(ec).port();
    asio::co_spawn(s.io, accept_loop(&s, s.acceptors[0].get()), asio::detached);
    asio::co_spawn(s.io, sweep(&s), asio::detached);
    log_attach(s.log, s.io);
    loop = std::thread([this] { s.io.run(); });
  }
  // `f` run on the server's thread, its answer waited for.
  template <typename F>
  auto on_server(F f) {
    std::promise<decltype(f())> p;
    asio::post(s.io, [&] { p.set_value(f()); });
    return p.get_future().get();
  }
  // Waits until the server has read a command's first byte from `peer`'s
  // connection: its deadline is no longer the idle one. Found by the peer's
  // port, not as the newest: the peer may not have been accepted yet while
  // an earlier test case's connection is still in the table.
  bool first_byte_taken(const Peer& peer) {
    asio::error_code ec;
    uint16_t from = peer.s.local_endpoint(ec).port();
    for (int i = 0; i < 500; ++i) {
      bool taken = on_server([this, from] {
        for (Conn* c : s.connections.all)
          if (static_cast<Connection*>(c)->peer.port() == from && c->closed == nullptr)
            return c->limit != nullptr && std::strcmp(c->limit, "idle limit reached") != 0;
        return false;
      });
      if (taken) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::string log_text() {
    on_server([this] { return 0; });  // lines queued before are written
    std::ifstream f(log_path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  void TearDown() override {
    if (!loop.joinable()) return;
    asio::post(s.io, [this] { begin_stop(&s); });
    loop.join();
    log_detach(s.log);
    log_close(s.log);
  }
};

TEST_F(ServerSession, ACommandsBytesHaveTenSecondsFromItsFirst) {
  struct Step {
    const char* bytes;
    int64_t advance_ms;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool cut;
  } cases[] = {
      {"whole in time", {{"D\x01", 5000}, {"\x01", 4999}}, false},
      {"D half", {{"D\x01", 10000}}, true},
      {"C, no arguments", {{"C", 10000}}, true},
      {"late bytes do not renew it", {{"D\x01", 5000}, {"\x01", 5000}}, true},
      {"no command at all: the idle limit", {{"", 10000}}, false},
  };
  start();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Peer p(port);
    for (const Step& st : k.steps) {
      p.send(std::string(st.bytes, std::strlen(st.bytes)));
      if (st.bytes[0] != '\0') {
        ASSERT_TRUE(first_byte_taken(p));
      }
      ms += st.advance_ms;
    }
    if (k.cut) {
      EXPECT_TRUE(p.closed());
      continue;
    }
    std::this_thread::sleep_for(600ms);  // sweeps that must cut nothing
    // The rest of a whole 'C' (nothing for this box: 0.0.0).
    p.send(k.steps.size() == 1 ? std::string("C\x01\x01\x01", 4) : std::string("\x02", 1));
    size_t answer = k.steps.size() == 1 ? 3 : 4;
    EXPECT_EQ(std::string(answer, '\0'), p.read(answer)) << "answered";
  }
  EXPECT_NE(std::string::npos, log_text().find("did not all arrive within 10 s"));
}

TEST_F(ServerSession, AHalfCommandIsIdleForEviction) {
  start(1);
  Peer half(port);
  half.send("D\x01");
  ASSERT_TRUE(first_byte_taken(half));
  Peer box(port);
  box.send(std::string("C\x00\x01\x02", 4));
  EXPECT_EQ(std::string(3, '\0'), box.read(3)) << "admitted at --max-connections";
  EXPECT_TRUE(half.closed());
}

}  // namespace

namespace {

// 'A' names the station and attempt, answers nothing, and the download
// after it carries both in its log line, so the line joins the journal's
// record; a download without an 'A' before it names neither.
TEST_F(ServerSession, AttemptCommandNamesTheDownloadInTheLog) {
  start();
  Peer p(port);
  const std::string attempt = "00112233445566778899aabbccddeeff";
  p.send("B");
  ASSERT_EQ(p.read(1).size(), 1u);
  p.send(std::string("A\x06line-3", 8) + attempt + std::string("D\x02\x17\x00", 4));
  // Nothing answers the 'A': the first bytes back are the size's.
  EXPECT_EQ(p.read(4), std::string(4, '\0'));
  p.send(std::string("D\x02\x17\x00", 4));
  EXPECT_EQ(p.read(4), std::string(4, '\0'));
  std::string log;
  for (int i = 0; i < 500 && std::count(log.begin(), log.end(), '\n') < 3; ++i) {
    std::this_thread::sleep_for(10ms);
    log = log_text();
  }
  std::istringstream lines(log);
  std::string a, first, second;
  std::getline(lines, a);
  std::getline(lines, first);
  std::getline(lines, second);
  const std::string named = ",\"station\":\"line-3\",\"attempt\":\"" + attempt + "\"";
  EXPECT_NE(a.find("\"command\":\"A\""), std::string::npos) << a;
  EXPECT_NE(a.find(named), std::string::npos) << a;
  EXPECT_NE(first.find("\"command\":\"D\""), std::string::npos) << first;
  EXPECT_NE(first.find(named), std::string::npos) << first;
  EXPECT_EQ(second.find("\"station\""), std::string::npos) << second;
  EXPECT_NE(second.find("\"command\":\"D\""), std::string::npos) << second;
}

}  // namespace
