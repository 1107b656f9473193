// Self-tests of netsim: a raw loopback client walks both peers through their
// dialogues, so the later tests of the tool can trust what netsim records.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "tests/e2e/harness.h"

namespace {

// A started netsim and a client socket connected to it.
struct Peer {
  BgProcess proc;
  int fd = -1;
  std::string dir = make_temp_dir();  // the record and any files of the test

  ~Peer() {
    if (fd >= 0) close(fd);
    if (proc.pid > 0) kill_process(&proc);
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }

  void start(std::vector<std::string> args) {
    args.insert(args.begin(), build_path("netsim"));
    args.insert(args.end(), {"--timeout", "10", "--record", dir + "/record"});
    ASSERT_TRUE(start_process(&proc, args));
    std::string line = wait_for_line(&proc, "PORT ");
    ASSERT_FALSE(line.empty()) << proc.err;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(atoi(line.c_str() + 5)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  }

  void send_bytes(const std::string& s) {
    ASSERT_EQ(static_cast<ssize_t>(s.size()), send(fd, s.data(), s.size(), MSG_NOSIGNAL));
  }

  // Up to n bytes; fewer when the peer closes.
  std::string recv_bytes(size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
      ssize_t r = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }

  // Closes our side and returns netsim's summary.
  std::string finish() {
    close(fd);
    fd = -1;
    EXPECT_EQ(0, wait_process(&proc, 10000)) << proc.err;
    return proc.out;
  }

  std::string recorded() { return read_file(dir + "/record"); }
};

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

TEST(NetsimBox, HappyPathRecordsEveryByteAndTheImage) {
  Peer p;
  p.start({"box", "--major", "0x15", "--minor", "0x01", "--prefix", "7,8", "--text", "box1",
           "--image-reply", "0x5a", "--image-out", p.dir + "/image"});
  p.send_bytes(bytes({0x01}));
  EXPECT_EQ(bytes({0x01}), p.recv_bytes(1));
  p.send_bytes(bytes({0x02}));
  EXPECT_EQ(bytes({0x01, 7, 8, 0x15, 0x01, 0, 0, 0}) + "box1" + std::string(1, '\0'),
            p.recv_bytes(13));
  p.send_bytes(bytes({0x01}));
  std::string image(300, 'x');
  p.send_bytes(bytes({0x09, 0, 0, 0x01, 0x2c}) + image);
  EXPECT_EQ(bytes({0x5a}), p.recv_bytes(1));
  std::string out = p.finish();
  EXPECT_NE(std::string::npos, out.find("HELLO\nIDENTITY\nIDENTITY ACK\nIMAGE 300 bytes\n"));
  EXPECT_NE(std::string::npos, out.find("RESULT OK"));
  EXPECT_EQ(bytes({0x01, 0x02, 0x01, 0x09, 0, 0, 0x01, 0x2c}) + image, p.recorded());
  EXPECT_EQ(image, read_file(p.dir + "/image"));
}

TEST(NetsimBox, FaultsRefusedHelloLongTextAndCloseAfterImage) {
  {
    Peer p;
    p.start({"box", "--hello-reply", "0x00"});
    p.send_bytes(bytes({0x01}));
    EXPECT_EQ(bytes({0x00}), p.recv_bytes(1));
    EXPECT_NE(std::string::npos, p.finish().find("RESULT NO-IMAGE"));
  }
  {
    Peer p;
    p.start({"box", "--text-length", "10000"});
    p.send_bytes(bytes({0x02}));
    std::string rec = p.recv_bytes(8 + 10000);
    ASSERT_EQ(8u + 10000u, rec.size());
    EXPECT_EQ(std::string::npos, rec.find('\0', 8)) << "the text must carry no zero byte";
    EXPECT_NE(std::string::npos, p.finish().find("IDENTITY ACK MISSING"));
  }
  {
    Peer p;
    p.start({"box", "--close-after-image"});
    p.send_bytes(bytes({0x09, 0, 0, 0, 2, 'a', 'b'}));
    EXPECT_EQ("", p.recv_bytes(1)) << "closed instead of a reply";
    std::string out = p.finish();
    EXPECT_NE(std::string::npos, out.find("IMAGE 2 bytes\nCLOSE AFTER IMAGE"));
  }
  {
    Peer p;
    p.start({"box", "--close-at", "identity"});
    p.send_bytes(bytes({0x02}));
    EXPECT_EQ(4u, p.recv_bytes(100).size());
    p.finish();
  }
}

TEST(NetsimServer, QueryAndDownloadPerChannelAndVersion) {
  Peer p;
  std::string software;
  for (int i = 0; i < 2500; ++i) software.push_back(static_cast<char>(i * 7));
  write_file(p.dir + "/sw.pad", software);
  p.start({"server", "--software", "2:23.0=" + p.dir + "/sw.pad", "--software-version",
           "1:21.149=4.5.6", "--greeting-reply", "0x33"});
  p.send_bytes("B");
  EXPECT_EQ("3", p.recv_bytes(1));
  p.send_bytes(bytes({'C', 2, 23, 0}));
  EXPECT_EQ(bytes({1, 2, 3}), p.recv_bytes(3));
  p.send_bytes(bytes({'C', 1, 21, 149}));
  EXPECT_EQ(bytes({4, 5, 6}), p.recv_bytes(3));
  p.send_bytes(bytes({'C', 3, 23, 0}));
  EXPECT_EQ(bytes({0, 0, 0}), p.recv_bytes(3));
  p.send_bytes(bytes({'D', 2, 23, 0}));
  EXPECT_EQ(bytes({0, 0, 0x09, 0xc4}), p.recv_bytes(4));
  EXPECT_EQ(software, p.recv_bytes(2500));
  p.send_bytes(bytes({'Z', 'B'}));  // a second box on the same connection
  EXPECT_EQ("3", p.recv_bytes(1));
  p.send_bytes(bytes({'D', 0, 23, 0}));
  EXPECT_EQ(bytes({0, 0, 0, 0}), p.recv_bytes(4));
  p.send_bytes("Z");
  std::string out = p.finish();
  EXPECT_NE(std::string::npos, out.find("SIZE 2 23.0 -> 2500\nSOFTWARE 2500 of 2500 bytes\n"
                                        "GOODBYE\nGREETING\nSIZE 0 23.0 -> 0\nGOODBYE\n"));
  EXPECT_EQ(bytes({'B', 'C', 2, 23, 0, 'C', 1,   21,  149, 'C', 3, 23,
                   0,   'D', 2, 23, 0, 'Z', 'B', 'D', 0,   23,  0, 'Z'}),
            p.recorded());
}

TEST(NetsimServer, FaultsOversizeAndBrokenTransfers) {
  {
    // A size beyond 8 MiB: the client's goodbye stops the flood.
    Peer p;
    p.start({"server", "--size", "8388609"});
    p.send_bytes(bytes({'B', 'D', 2, 23, 0}));
    EXPECT_EQ(bytes({0x01, 0x00, 0x80, 0x00, 0x01}), p.recv_bytes(5));
    p.send_bytes("Z");
    std::string out = p.finish();
    EXPECT_NE(std::string::npos, out.find("GOODBYE"));
    EXPECT_EQ(bytes({'B', 'D', 2, 23, 0, 'Z'}), p.recorded());
  }
  {
    Peer p;
    write_file(p.dir + "/sw", std::string(5000, 's'));
    p.start({"server", "--software", "2:23.0=" + p.dir + "/sw", "--close-at", "software:1000"});
    p.send_bytes(bytes({'B', 'D', 2, 23, 0}));
    EXPECT_EQ(1u + 4u + 1000u, p.recv_bytes(10000).size());
    EXPECT_NE(std::string::npos, p.finish().find("SOFTWARE 1000 of 5000 bytes\nCLOSE AT SOFTWARE"));
  }
  {
    Peer p;
    p.start({"server", "--close-at", "greeting"});
    p.send_bytes("B");
    EXPECT_EQ("", p.recv_bytes(1));
    p.finish();
  }
  {
    Peer p;
    p.start({"server", "--close-at", "query:1"});
    p.send_bytes(bytes({'B', 'C', 2, 23, 0}));
    EXPECT_EQ(2u, p.recv_bytes(10).size()) << "greeting reply and one answer byte";
    p.finish();
  }
}

}  // namespace
