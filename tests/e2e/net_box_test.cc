// The network box update of build/update against `netsim box` on loopback:
// what the tool prints and how it ends, and every byte the box received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e/harness.h"

namespace {

const char kDoneLines[] =
    "Done!                   \nProgramming the flash memory...Done!                   \n";
const char kReady[] = "USB net update ready\n";
const char kFailed[] = "error updating image -> ENTER";

std::string bytes_of(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

std::string be32(uint32_t v) {
  return bytes_of({static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
                   static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}

// Long byte strings: say where they part instead of printing them whole.
::testing::AssertionResult same_bytes(const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                       << actual.size() << ", first difference at " << i;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct BoxRun {
  ProcResult tool;
  std::string port;
  std::string sim;  // netsim's summary
  std::string record;
};

class NetBox : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A PAD file for bootloader `version` ("MAJ.MIN") with `payload` bytes.
  std::string pad(const std::string& version, int payload = 5000) {
    std::string path = dir_ + "/box" + std::to_string(++pads_) + ".pad";
    EXPECT_EQ(0, make_pad(path, {"--format", "21", "--version", version, "--random",
                                 std::to_string(payload)}));
    return path;
  }

  // Starts netsim box with `sim_args`, runs the tool at it with the PAD
  // file, and collects both sides. `port_arg` replaces the -j value.
  BoxRun run(const std::vector<std::string>& sim_args, const std::string& pad_path,
             const std::string& port_arg = "") {
    BoxRun r;
    BgProcess sim;
    std::vector<std::string> argv = {build_path("netsim"), "box",           "--timeout", "20",
                                     "--record",           dir_ + "/record"};
    argv.insert(argv.end(), sim_args.begin(), sim_args.end());
    EXPECT_TRUE(start_process(&sim, argv));
    std::string line = wait_for_line(&sim, "PORT ");
    EXPECT_FALSE(line.empty()) << sim.err;
    r.port = line.substr(5);
    r.tool =
        run_process({update_bin(), "-i", "127.0.0.1", "-j", port_arg.empty() ? r.port : port_arg,
                     "--journal", dir_ + "/journal.jsonl", pad_path},
                    "\n", 30000);
    EXPECT_EQ(0, wait_process(&sim, 20000)) << sim.out << sim.err;
    r.sim = sim.out;
    r.record = read_file(dir_ + "/record");
    return r;
  }

  std::string dir_ = make_temp_dir();
  int pads_ = 0;
};

TEST_F(NetBox, FittingBoxGetsTheWholeFileAsOneBlock) {
  std::string file = pad("21.1");
  // An identity text of only its zero byte, and any reply byte.
  BoxRun r = run({"--major", "0x15", "--minor", "0x01", "--text", "", "--image-reply", "0x5a",
                  "--image-out", dir_ + "/image"},
                 file);
  EXPECT_EQ(0, r.tool.exit_code) << r.tool.err;
  EXPECT_TRUE(has(r.tool.out, "-->  127.0.0.1:" + r.port + "\n")) << r.tool.out;
  EXPECT_TRUE(has(r.tool.out, kDoneLines)) << r.tool.out;
  EXPECT_FALSE(has(r.tool.out, kFailed));
  EXPECT_TRUE(has(r.tool.err, kReady)) << r.tool.err;
  std::string content = read_file(file);
  EXPECT_TRUE(same_bytes(
      bytes_of({0x01, 0x02, 0x01, 0x09}) + be32(static_cast<uint32_t>(content.size())) + content,
      r.record));
  EXPECT_TRUE(same_bytes(content, read_file(dir_ + "/image")));
}

TEST_F(NetBox, ReplyOrCloseAfterTheBlockBothCountAsDone) {
  std::string file = pad("21.0");
  BoxRun r = run({"--major", "21", "--minor", "0", "--close-after-image"}, file);
  EXPECT_EQ(0, r.tool.exit_code) << r.tool.err;
  EXPECT_TRUE(has(r.tool.out, kDoneLines)) << r.tool.out;
  EXPECT_TRUE(has(r.tool.err, kReady));
  EXPECT_TRUE(has(r.sim, "IMAGE " + std::to_string(read_file(file).size()) + " bytes"));
}

TEST_F(NetBox, PortIsTheLow16BitsOfTheNumberGiven) {
  std::string file = pad("21.0");
  BgProcess probe;  // learn a free port first, then hand the tool port + 65536
  ASSERT_TRUE(start_process(&probe, {build_path("netsim"), "box", "--timeout", "1"}));
  int free_port = std::stoi(wait_for_line(&probe, "PORT ").substr(5));
  kill_process(&probe);
  std::string shown = std::to_string(free_port + 65536);
  BgProcess sim;
  ASSERT_TRUE(start_process(
      &sim, {build_path("netsim"), "box", "--timeout", "20", "--port", std::to_string(free_port)}));
  if (wait_for_line(&sim, "PORT ").empty()) GTEST_SKIP() << "port taken meanwhile";
  ProcResult tool = run_process({update_bin(), "-i", "127.0.0.1", "-j", shown, file}, "\n");
  wait_process(&sim, 20000);
  EXPECT_EQ(0, tool.exit_code) << tool.err;
  EXPECT_TRUE(has(tool.out, "-->  127.0.0.1:" + shown + "\n")) << tool.out;
  EXPECT_TRUE(has(sim.out, "RESULT OK"));
}

TEST_F(NetBox, RefusedConnectionIsMessage100) {
  std::string file = pad("21.0");
  // A port that was free a moment ago and has no listener now.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  std::string port = std::to_string(ntohs(a.sin_port));
  ProcResult tool = run_process({update_bin(), "-i", "127.0.0.1", "-j", port, file}, "\n");
  EXPECT_EQ(1, tool.exit_code);
  EXPECT_TRUE(has(tool.out, "-->  127.0.0.1:" + port + "\n")) << tool.out;
  EXPECT_TRUE(has(tool.err, "could not connect to STB\n")) << tool.err;
  EXPECT_TRUE(has(tool.out, kFailed));
}

// A stop while the tool waits on the network (a connect the peer never
// completes, a box that never answers the hello) ends the run at once,
// recorded as stopped, with no word of a failed connection.
TEST_F(NetBox, StopInANetworkWaitIsRecorded) {
  std::string file = pad("21.0");
  for (bool connects : {false, true}) {
    SCOPED_TRACE(connects ? "silent box" : "connect never completes");
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, listen(listener, connects ? 4 : 0));
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    // A full queue of connections nobody accepts: the next SYN goes unanswered.
    std::vector<int> fillers;
    for (int i = 0; !connects && i < 3; i++) {
      fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    usleep(100000);
    std::string journal = dir_ + "/stop" + std::to_string(connects) + ".jsonl";
    BgProcess tool;
    ASSERT_TRUE(
        start_process(&tool, {update_bin(), "-i", "127.0.0.1", "-j",
                              std::to_string(ntohs(a.sin_port)), "--journal", journal, file}));
    ASSERT_FALSE(wait_for_line(&tool, "-->  127.0.0.1:").empty());
    usleep(300000);
    kill(tool.pid, SIGTERM);
    EXPECT_EQ(1, wait_process(&tool, 1000)) << tool.out << tool.err;
    std::string record = read_file(journal);
    EXPECT_TRUE(has(record, "\"mode\":\"network\"")) << record;
    EXPECT_TRUE(has(record, "\"result\":\"stopped\"")) << record;
    EXPECT_TRUE(has(record, connects ? "\"error\":\"Stopped by SIGTERM during identify.\""
                                     : "\"error\":\"Stopped by SIGTERM during "))
        << record;
    EXPECT_FALSE(has(tool.err, "could not connect to STB")) << tool.err;
    for (int fd : fillers) close(fd);
    close(listener);
  }
}

// A hello that is not acknowledged is a failure, not "ready": the box gets
// neither the identity request nor the image.
TEST_F(NetBox, UnacknowledgedHelloEndsWithCode1) {
  std::string file = pad("21.0");
  for (std::vector<std::string> fault : {std::vector<std::string>{"--hello-reply", "0x00"},
                                         std::vector<std::string>{"--close-at", "hello"}}) {
    SCOPED_TRACE(fault[1]);
    BoxRun r = run(fault, file);
    EXPECT_EQ(1, r.tool.exit_code);
    EXPECT_TRUE(has(r.tool.err, "The box did not acknowledge the hello")) << r.tool.err;
    EXPECT_FALSE(has(r.tool.err, kReady));
    EXPECT_TRUE(has(r.tool.out, kFailed));
    EXPECT_EQ(bytes_of({0x01}), r.record);
  }
}

TEST_F(NetBox, MismatchShowsBoxBytesAsSignedAndSendsNoImage) {
  struct Case {
    std::string pad_version, major, minor, line;
  } cases[] = {
      {"149.1", "0x95", "0x01",
       "error -> wrong hardware IDs  (0x00950001 != 0xffffff950001)\n"
       "Version in padFile: 0x00950001\n"
       "Version in Box:     0xffffff950001\n"},
      {"21.0", "0x15", "0x01",
       "error -> wrong hardware IDs  (0x00150000 != 0x00150001)\n"
       "Version in padFile: 0x00150000\n"
       "Version in Box:     0x00150001\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pad_version);
    BoxRun r = run({"--major", c.major, "--minor", c.minor}, pad(c.pad_version));
    EXPECT_EQ(1, r.tool.exit_code);
    EXPECT_TRUE(has(r.tool.out, c.line)) << r.tool.out;
    EXPECT_FALSE(has(r.tool.err, kReady));
    EXPECT_EQ(bytes_of({0x01, 0x02, 0x01}), r.record);
  }
}

// A failed identity exchange is no fitting box; a text that does not end
// within its 256-byte field fails the exchange without the closing
// acknowledge.
TEST_F(NetBox, BrokenIdentityEndsWithCode1) {
  std::string file = pad("21.0");
  struct Case {
    std::vector<std::string> fault;
    std::string line;
  } cases[] = {
      {{"--text-length", "10000"}, "The box identity text does not end within 256 bytes"},
      {{"--close-at", "identity"}, "Reading the box identity failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault[0]);
    BoxRun r = run(c.fault, file);
    EXPECT_EQ(1, r.tool.exit_code);
    EXPECT_TRUE(has(r.tool.err, c.line)) << r.tool.err;
    EXPECT_FALSE(has(r.tool.err, kReady));
    EXPECT_FALSE(has(r.tool.out, "Version in Box")) << "no identity check on a broken record";
    EXPECT_EQ(bytes_of({0x01, 0x02}), r.record);
  }
}

TEST_F(NetBox, PadFileGoneBeforeTheReloadSendsNothing) {
  std::string file = pad("21.0");
  BoxRun r = run({"--unlink", file}, file);
  EXPECT_EQ(1, r.tool.exit_code);
  EXPECT_TRUE(has(r.tool.err, "The PAD file could not be read again")) << r.tool.err;
  EXPECT_FALSE(has(r.tool.out, "Done!"));
  EXPECT_FALSE(has(r.tool.err, kReady));
  EXPECT_EQ(bytes_of({0x01, 0x02, 0x01}), r.record);
}

// A PAD file rebuilt between the check and the reload (another valid file:
// smaller, larger, or of the same size and sum) must not reach the box.
TEST_F(NetBox, FileChangedAfterTheCheckIsNotSent) {
  std::string file = pad("21.0", 3000);
  std::string same = read_file(file);
  std::swap(same[20], same[21]);  // bytes moved: size and sum stay
  ASSERT_NE(same, read_file(file));
  struct Case {
    const char* what;
    std::string content;
  } cases[] = {
      {"smaller", read_file(pad("21.0", 1000))},
      {"larger", read_file(pad("21.0", 6000))},
      {"same size and sum", same},
  };
  std::string original = read_file(file);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(file, original);
    std::string rebuilt = dir_ + "/rebuilt.pad";
    write_file(rebuilt, c.content);
    BoxRun r = run({"--replace", file + "=" + rebuilt}, file);
    EXPECT_TRUE(has(r.sim, "REPLACED")) << r.sim;
    EXPECT_EQ(1, r.tool.exit_code);
    EXPECT_TRUE(has(r.tool.out, "Checking file ... OK\n")) << r.tool.out;
    EXPECT_TRUE(has(r.tool.out, "Checking file ... failed. Abort!\n")) << r.tool.out;
    EXPECT_FALSE(has(r.tool.out, "Done!"));
    EXPECT_FALSE(has(r.tool.err, kReady)) << r.tool.err;
    EXPECT_EQ(bytes_of({0x01, 0x02, 0x01}), r.record) << "not a byte of it sent";
  }
}

// A box that resets the connection in the middle of the image did not get
// it, even when the whole block fitted into the kernel's buffers.
TEST_F(NetBox, BoxThatResetsMidImageIsAFailedTransfer) {
  std::string file = pad("21.0", 3000);
  BoxRun r = run({"--close-at", "image:100"}, file);
  EXPECT_TRUE(has(r.sim, "RESET IN IMAGE after 100 bytes")) << r.sim;
  EXPECT_EQ(1, r.tool.exit_code);
  EXPECT_TRUE(has(r.tool.err, "The box broke off the transfer")) << r.tool.err;
  EXPECT_FALSE(has(r.tool.out, "Done!")) << r.tool.out;
  EXPECT_FALSE(has(r.tool.err, kReady));
  std::string journal = read_file(dir_ + "/journal.jsonl");
  EXPECT_TRUE(has(journal, "\"mode\":\"network\",\"port\":\"127.0.0.1:" + r.port + "\""))
      << journal;
  EXPECT_TRUE(has(journal, "\"box_version\":\"21.0\"")) << journal;
  EXPECT_TRUE(has(journal, "\"bytes_sent\":0,")) << journal;
  EXPECT_TRUE(has(journal,
                  "\"result\":\"failed\",\"exit_code\":1,\"error\":\"The box broke off "
                  "the transfer; the image may not have arrived.\",\"error_code\":null,"
                  "\"box_error\":null}\n"))
      << journal;
}

TEST_F(NetBox, BlockThatCannotGoOutEndsWithCode1) {
  // The box resets the connection after the identity, with a window too
  // small for the large block to have gone out before.
  std::string file = pad("21.0", 8000000);
  BoxRun r = run({"--close-at", "image"}, file);
  EXPECT_EQ(1, r.tool.exit_code);
  EXPECT_TRUE(has(r.tool.err, "Sending the image to the box failed.")) << r.tool.err;
  EXPECT_FALSE(has(r.tool.out, "Done!"));
  EXPECT_FALSE(has(r.tool.err, kReady));
  EXPECT_TRUE(same_bytes(bytes_of({0x01, 0x02, 0x01}), r.record.substr(0, 3)));
}

}  // namespace
