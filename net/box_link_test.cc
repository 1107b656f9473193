#include "net/box_link.h"

#include <netinet/in.h>

#include <string>
#include <thread>

#include "core/messages.h"
#include "gtest/gtest.h"
#include "image/image_buffer.h"
#include "net/test_peer.h"

namespace {

// The box's acknowledge and record up to the text.
std::string record_head(uint8_t major, uint8_t minor) {
  return bytes_of({0x01, 0xA1, 0xA2, major, minor, 0xE1, 0xE2, 0xE3});
}

TEST(BoxLink, HelloWantsTheAcknowledge) {
  TestPeer p;
  p.say(bytes_of({0x01, 0x00}));
  EXPECT_EQ(0, box_hello(p.tool()));
  EXPECT_EQ(2, box_hello(p.tool()));
  p.hang_up();
  EXPECT_EQ(2, box_hello(p.tool()));
}

TEST(BoxLink, IdentityRecordFieldsAndTextFill) {
  {
    TestPeer p;
    p.say(record_head(0x15, 0x01) + std::string("hi\0", 3));
    BoxIdentity id;
    EXPECT_EQ(IdentityRead::kRead, read_box_identity(p.tool(), &id));
    EXPECT_EQ(bytes_of({0x02, 0x01}), p.heard());
    EXPECT_EQ(0xA1, id.prefix[0]);
    EXPECT_EQ(0xA2, id.prefix[1]);
    EXPECT_EQ(0x15, id.major);
    EXPECT_EQ(0x01, id.minor);
    EXPECT_EQ(0xE3, id.extra[2]);
    EXPECT_EQ(std::string("hi\0", 3), std::string(reinterpret_cast<char*>(id.text), 3));
    EXPECT_EQ(0xFF, id.text[3]);
  }
  {
    TestPeer p;
    p.say(record_head(0, 0) + std::string(1, '\0'));
    BoxIdentity id;
    EXPECT_EQ(IdentityRead::kRead, read_box_identity(p.tool(), &id));
    EXPECT_EQ(0, id.text[0]);
    for (int i = 1; i < kIdentityTextSize; ++i) ASSERT_EQ(0xFF, id.text[i]) << i;
  }
  {
    // 255 text bytes and the zero byte fill the field exactly: still fine.
    TestPeer p;
    p.say(record_head(0, 0) + std::string(255, 'a') + std::string(1, '\0'));
    BoxIdentity id;
    EXPECT_EQ(IdentityRead::kRead, read_box_identity(p.tool(), &id));
  }
}

TEST(BoxLink, IdentityFailuresSendNoClosingAcknowledge) {
  {
    TestPeer p;
    p.say(record_head(0, 0) + std::string(10000, 'a'));
    BoxIdentity id;
    EXPECT_EQ(IdentityRead::kTextUnbounded, read_box_identity(p.tool(), &id));
    EXPECT_EQ(bytes_of({0x02}), p.heard());
  }
  {
    TestPeer p;
    p.say(record_head(0x15, 0x00).substr(0, 4));
    p.hang_up();
    BoxIdentity id;
    EXPECT_EQ(IdentityRead::kFailed, read_box_identity(p.tool(), &id));
  }
  {
    TestPeer p;
    p.say(bytes_of({0x00}) + record_head(0, 0).substr(1) + std::string(1, '\0'));
    BoxIdentity id;
    EXPECT_EQ(IdentityRead::kFailed, read_box_identity(p.tool(), &id)) << "a refused request";
    EXPECT_EQ(bytes_of({0x02}), p.heard()) << "no further steps after a failure";
  }
}

TEST(BoxLink, IdentityCheckTakesBoxBytesAsSigned) {
  BoxIdentity id{};
  id.major = 0x15;
  id.minor = 0x01;
  EXPECT_TRUE(identity_fits(id, 0x00150001));
  EXPECT_FALSE(identity_fits(id, 0x00150000));
  EXPECT_FALSE(identity_fits(id, 0x01150001));
  id.major = 0x7F;
  EXPECT_TRUE(identity_fits(id, 0x007F0001));
  id.major = 0x95;
  EXPECT_FALSE(identity_fits(id, 0x00950001));
  EXPECT_FALSE(identity_fits(id, 0xFF950001));
  EXPECT_FALSE(identity_fits(id, 0xFFFF0001));

  set_language(0);
  testing::internal::CaptureStdout();
  print_identity_mismatch(id, 0x00950001);
  EXPECT_EQ(
      "error -> wrong hardware IDs  (0x00950001 != 0xffffff950001)\n"
      "Version in padFile: 0x00950001\n"
      "Version in Box:     0xffffff950001\n",
      testing::internal::GetCapturedStdout());
}

TEST(BoxLink, ImageBlockCommandLengthAndReply) {
  for (int i = 0; i < 300; ++i) g_image_buffer[i] = static_cast<uint8_t>(i);
  {
    TestPeer p;
    p.say(bytes_of({0x5A}));
    EXPECT_EQ(BlockSend::kDelivered, send_image_block(p.tool(), 300));
    EXPECT_EQ(bytes_of({0x09, 0x00, 0x00, 0x01, 0x2C}) +
                  std::string(reinterpret_cast<char*>(g_image_buffer), 300),
              p.heard());
  }
  {
    // A box that closes instead of replying: the block went out all the same.
    TestPeer p;
    shutdown(p.fds[1], SHUT_WR);
    EXPECT_EQ(BlockSend::kDelivered, send_image_block(p.tool(), 300));
  }
  {
    TestPeer p;
    p.hang_up();
    EXPECT_EQ(BlockSend::kNotSent, send_image_block(p.tool(), 300));
  }
}

// A TCP connection on the loopback: [0] the tool's end, [1] the box's,
// whose receive buffer is small so that a block can stay unacknowledged,
// and the tool's send buffer large so that the block still goes out in one
// call. Returns false when the stack refused any step.
bool tcp_pair(int fds[2]) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096, large = 1 << 20;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  fds[0] = socket(AF_INET, SOCK_STREAM, 0);
  bool ok = setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small) == 0 &&
            bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len) == 0 &&
            setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &large, sizeof large) == 0 &&
            connect(fds[0], reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
            (fds[1] = accept(listener, nullptr, nullptr)) >= 0;
  close(listener);
  return ok;
}

TEST(BoxLink, BoxClosingBeforeItsStackTookTheBlockHasNotGotIt) {
  const uint32_t n = 64 * 1024;  // far more than the box's buffer holds
  struct {
    bool box_reads_block;
    BlockSend result;
  } const cases[] = {{true, BlockSend::kDelivered}, {false, BlockSend::kBrokeOff}};
  for (const auto& c : cases) {
    int fds[2] = {-1, -1};
    ASSERT_TRUE(tcp_pair(fds));
    std::thread box([&] {
      std::string got;
      char buf[4096];
      ssize_t r;
      while (c.box_reads_block && got.size() < n + 5 && (r = read(fds[1], buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(r));
      shutdown(fds[1], SHUT_WR);
    });
    EXPECT_EQ(c.result, send_image_block(fds[0], n)) << c.box_reads_block;
    box.join();
    for (int fd : fds) close(fd);
  }
}

TEST(BoxLink, ComputerNameMessage) {
  testing::internal::CaptureStdout();
  computer_name_message("BORVANE-07");
  computer_name_message("borvane");
  computer_name_message("BORVAN");
  EXPECT_EQ("Aetschi, baetsch, jetzt hast Du doch eine neue Version  benutzt\n",
            testing::internal::GetCapturedStdout());
}

}  // namespace
