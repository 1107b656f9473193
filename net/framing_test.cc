#include "net/framing.h"

#include <string>

#include "gtest/gtest.h"
#include "image/image_buffer.h"
#include "net/test_peer.h"

namespace {

TEST(Framing, NumbersAndBlocksTravelMostSignificantFirst) {
  TestPeer p;
  uint32_t v = 0;
  p.say(bytes_of({0x01, 0x02, 0x03, 0x04, 0xFF, 0x00, 0x00, 0x80}));
  EXPECT_EQ(1, receive_number(p.tool(), &v));
  EXPECT_EQ(0x01020304u, v);
  EXPECT_EQ(1, receive_number(p.tool(), &v));
  EXPECT_EQ(0xFF000080u, v);

  for (int i = 0; i < 300; ++i) g_image_buffer[i] = static_cast<uint8_t>(i * 3);
  EXPECT_EQ(1, send_block(p.tool(), 300));
  EXPECT_EQ(1, send_byte(p.tool(), 0xAB));
  std::string heard = p.heard();
  ASSERT_EQ(301u, heard.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(g_image_buffer), 300), heard.substr(0, 300));
  EXPECT_EQ('\xAB', heard[300]);
}

TEST(Framing, ReceiveNumberMakesAllFourCallsAfterAFailure) {
  // Datagrams: an empty one reads as a closed connection once, and the
  // next call gets the next datagram, so every call can be counted.
  TestPeer p(SOCK_DGRAM);
  for (const std::string& d :
       {bytes_of({0x12}), std::string(), bytes_of({0x56}), bytes_of({0x78}), bytes_of({0x9A})})
    send(p.fds[1], d.data(), d.size(), 0);
  uint32_t v = 0;
  EXPECT_EQ(0, receive_number(p.tool(), &v));
  EXPECT_EQ(0x12005678u, v);
  uint8_t b = 0;
  EXPECT_EQ(1, receive_byte(p.tool(), &b));
  EXPECT_EQ(0x9A, b) << "receive number must have used exactly four calls";
}

TEST(Framing, AcknowledgeIsOnlyTheByte01) {
  TestPeer p;
  p.say(bytes_of({0x01, 0x00, 0x02}));
  EXPECT_EQ(1, receive_acknowledge(p.tool()));
  EXPECT_EQ(0, receive_acknowledge(p.tool()));
  EXPECT_EQ(0, receive_acknowledge(p.tool()));
  p.hang_up();
  EXPECT_EQ(0, receive_acknowledge(p.tool()));
  uint8_t b = 0x77;
  EXPECT_EQ(0, receive_byte(p.tool(), &b));
  EXPECT_EQ(0x77, b);
  EXPECT_EQ(0, send_acknowledge(p.tool())) << "the peer is gone";
}

}  // namespace
