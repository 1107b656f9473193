#include "net/server_client.h"

#include <sys/ioctl.h>

#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "image/image_buffer.h"
#include "net/test_peer.h"
#include "tests/fakes/fake_platform.h"

namespace {

std::string software(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i * 13 + 5));
  return s;
}

std::string progress_lines(std::initializer_list<int> percents) {
  std::string out;
  char line[64];
  for (int p : percents) {
    snprintf(line, sizeof line, "%3d %% network transfer\r", p);
    out += line;
  }
  return out;
}

TEST(ServerClient, RequestsSendTheLow8BitsOfTheVersion) {
  TestPeer p;
  p.say(bytes_of({0x07}) + bytes_of({1, 2, 3}) + bytes_of({0x00, 0x01, 0x86, 0xA0}));
  EXPECT_EQ(1, server_greet(p.tool()));
  uint8_t v[3] = {9, 9, 9};
  EXPECT_EQ(1, server_query(p.tool(), 2, 0x0115, 0x0002, v));
  EXPECT_EQ(1, v[0]);
  EXPECT_EQ(2, v[1]);
  EXPECT_EQ(3, v[2]);
  uint32_t size = 0;
  EXPECT_EQ(1, server_ask_size(p.tool(), 3, 0x0017, 0x0100, &size));
  EXPECT_EQ(100000u, size);
  server_goodbye(p.tool());
  EXPECT_EQ(bytes_of({'B', 'C', 2, 0x15, 0x02, 'D', 3, 0x17, 0x00, 'Z'}), p.heard());
}

// The station's name goes with its length, cut where one byte cannot say
// it; the attempt's 32 digits follow whole.
TEST(ServerClient, AttemptCommandCarriesStationAndAttempt) {
  const std::string attempt = "0123456789abcdef0123456789abcdef";
  struct Case {
    std::string station;
    size_t sent;
  } cases[] = {{"line-3", 6}, {"", 0}, {std::string(300, 's'), 255}};
  for (const Case& c : cases) {
    TestPeer p;
    EXPECT_EQ(1, server_tell_attempt(p.tool(), c.station.c_str(), attempt.c_str()));
    std::string want(1, 'A');
    want.push_back(static_cast<char>(c.sent));
    want.append(c.station, 0, c.sent);
    want.append(attempt);
    EXPECT_EQ(want, p.heard()) << c.station.size();
  }
}

TEST(ServerClient, MissingAnswersAreFailures) {
  {
    TestPeer p;
    p.hang_up();
    EXPECT_EQ(0, server_greet(p.tool()));
  }
  {
    TestPeer p;
    p.say(bytes_of({1, 2}));
    shutdown(p.fds[1], SHUT_WR);
    uint8_t v[3];
    EXPECT_EQ(0, server_query(p.tool(), 2, 23, 0, v));
  }
  {
    TestPeer p;
    p.say(bytes_of({0, 0, 9}));
    shutdown(p.fds[1], SHUT_WR);
    uint32_t size;
    EXPECT_EQ(0, server_ask_size(p.tool(), 2, 23, 0, &size));
  }
}

TEST(ServerClient, ProgressLinesAtEvery1000thByteWhenThePercentageRises) {
  {
    TestPeer p;
    std::string sw = software(2500);
    p.say(sw);
    testing::internal::CaptureStdout();
    EXPECT_EQ(2500u, receive_software(p.tool(), 2500));
    EXPECT_EQ(progress_lines({0, 40, 80}), testing::internal::GetCapturedStdout());
    EXPECT_EQ(sw, std::string(reinterpret_cast<char*>(g_image_buffer), 2500));
  }
  {
    TestPeer p;
    std::thread feeder([&p] { p.say(software(100000)); });
    testing::internal::CaptureStdout();
    EXPECT_EQ(100000u, receive_software(p.tool(), 100000));
    feeder.join();
    std::string expected;
    for (int i = 0; i < 100; ++i) expected += progress_lines({i});
    EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
  }
  {
    TestPeer p;
    p.say(software(1500));
    p.hang_up();
    testing::internal::CaptureStdout();
    EXPECT_EQ(1500u, receive_software(p.tool(), 2500)) << "stops where the stream broke";
    testing::internal::GetCapturedStdout();
  }
}

// Feeds the first byte, waits until the tool has taken it (so its first
// clock reading is done), moves the clock by `ms`, then feeds the rest.
SoftwareFetch fetch_taking(uint32_t ms) {
  TestPeer p;
  std::string sw = software(3000);
  fake_clock_set(0xFFFFF000u);  // the difference must survive the wrap
  std::thread feeder([&] {
    p.say(sw.substr(0, 1));
    int queued = 1;
    while (queued > 0) {
      ioctl(p.fds[0], FIONREAD, &queued);
      std::this_thread::yield();
    }
    fake_clock_advance(ms);
    p.say(sw.substr(1));
  });
  testing::internal::CaptureStdout();
  uint32_t received = 0;
  SoftwareFetch r = fetch_software(p.tool(), 3000, &received);
  feeder.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(3000u, received);
  return r;
}

TEST(ServerClient, ReacquireOnlyAfterMoreThan12000Ms) {
  EXPECT_EQ(SoftwareFetch::kInTime, fetch_taking(0));
  EXPECT_EQ(SoftwareFetch::kInTime, fetch_taking(12000));
  EXPECT_EQ(SoftwareFetch::kSlow, fetch_taking(12001));
}

TEST(ServerClient, BrokenReceptionIsNotComplete) {
  TestPeer p;
  p.say(software(999));
  p.hang_up();
  uint32_t received = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(SoftwareFetch::kBrokeOff, fetch_software(p.tool(), 5000, &received));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(999u, received);
}

}  // namespace
