// Update server runs of build/update: the box on a pseudo-terminal
// (boxsim), the update server on loopback (netsim server). Checks what the
// tool prints, how it ends, every byte the server received and what reached
// the box.
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e/harness.h"

namespace {

const char kFailed[] = "error updating image -> ENTER";
const char kNothingNew[] = "No new software for this box available.\n";

std::string bytes_of(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The bytes of one box's download request on channel 2 for bootloader
// 23.0 (the box's "17.0"), through the goodbye.
const std::string kDownloadExchange = bytes_of({'B', 'D', 2, 23, 0, 'Z'});

struct ServerRun {
  ProcResult tool;
  std::string server;  // netsim's summary
  std::string box;     // boxsim's summary
  int box_code = -1;
  std::string record;
};

class NetServer : public ::testing::Test {
 protected:
  void SetUp() override {
    software_ = dir_ + "/sw.pad";
    ASSERT_EQ(0, make_pad(software_, {"--format", "21", "--version", "23.0", "--random", "20000"}));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // `box_args` decide what boxsim waits for. A box that should get nothing
  // is given 2 seconds to wait for a download that never comes; its summary
  // then shows what did.
  ServerRun run(const std::vector<std::string>& server_args,
                const std::vector<std::string>& tool_args, const std::vector<std::string>& box_args,
                const std::string& input = "\n") {
    std::string box_timeout = box_args.empty() ? "2" : "30";
    ServerRun r;
    BgProcess server, box;
    std::vector<std::string> sargv = {build_path("netsim"), "server",        "--timeout", "30",
                                      "--record",           dir_ + "/record"};
    sargv.insert(sargv.end(), server_args.begin(), server_args.end());
    std::vector<std::string> bargv = {build_path("boxsim"), "--timeout", box_timeout};
    bargv.insert(bargv.end(), box_args.begin(), box_args.end());
    EXPECT_TRUE(start_process(&server, sargv));
    EXPECT_TRUE(start_process(&box, bargv));
    std::string port = wait_for_line(&server, "PORT ");
    std::string com = wait_for_line(&box, "COM ");
    EXPECT_FALSE(port.empty()) << server.err;
    EXPECT_FALSE(com.empty()) << box.err;
    std::vector<std::string> targv = {update_bin(),   "-i", "127.0.0.1",  "-j",
                                      port.substr(5), "-p", com.substr(4)};
    targv.insert(targv.end(), tool_args.begin(), tool_args.end());
    r.tool = run_process(targv, input, 60000);
    EXPECT_EQ(0, wait_process(&server, 30000)) << server.out << server.err;
    r.box_code = wait_process(&box, 30000);
    r.server = server.out;
    r.box = box.out;
    r.record = read_file(dir_ + "/record");
    return r;
  }

  std::string dir_ = make_temp_dir();
  std::string software_;
};

TEST_F(NetServer, QueryPrintsTheVersionAndReleasesTheBox) {
  ServerRun r = run({"--software", "2:23.0=" + software_}, {"-C", "query"}, {"--expect-filler"});
  EXPECT_EQ(0, r.tool.exit_code) << r.tool.out << r.tool.err;
  EXPECT_TRUE(has(r.tool.out, "Found software: 1.2.3\n")) << r.tool.out;
  EXPECT_EQ(bytes_of({'B', 'C', 2, 23, 0, 'Z'}), r.record);
  EXPECT_EQ(0, r.box_code) << r.box;
}

TEST_F(NetServer, BoxRefusingTheFillerBlockFailsTheQueryRun) {
  ServerRun r = run({"--software", "2:23.0=" + software_}, {"-C", "query"},
                    {"--error-at", "download", "--error-line", "ERROR: busy\r\n"});
  EXPECT_EQ(1, r.tool.exit_code) << r.tool.out << r.tool.err;
  EXPECT_TRUE(has(r.tool.out, "Found software: 1.2.3\n")) << r.tool.out;
  EXPECT_EQ("Error code (WF): 0x 20000007\n", r.tool.err);
  EXPECT_EQ(bytes_of({'B', 'C', 2, 23, 0, 'Z'}), r.record);
}

TEST_F(NetServer, QueryOnAnotherChannel) {
  ServerRun with =
      run({"--software-version", "1:23.0=4.5.6"}, {"-C", "query", "-1"}, {"--expect-filler"});
  EXPECT_EQ(0, with.tool.exit_code);
  EXPECT_TRUE(has(with.tool.out, "Found software: 4.5.6\n")) << with.tool.out;
  EXPECT_EQ(bytes_of({'B', 'C', 1, 23, 0, 'Z'}), with.record);

  ServerRun without =
      run({"--software-version", "1:23.0=4.5.6"}, {"-C", "query", "-3"}, {"--expect-filler"});
  EXPECT_EQ(0, without.tool.exit_code);
  EXPECT_TRUE(has(without.tool.out, kNothingNew)) << without.tool.out;
  EXPECT_EQ(bytes_of({'B', 'C', 3, 23, 0, 'Z'}), without.record);
  EXPECT_EQ(0, without.box_code) << "the filler block releases the box: " << without.box;
}

TEST_F(NetServer, DownloadGoesToTheBoxOverTheSerialLine) {
  ServerRun r =
      run({"--software", "2:23.0=" + software_}, {"-C", "update"}, {"--expect", software_});
  EXPECT_EQ(0, r.tool.exit_code) << r.tool.out << r.tool.err;
  EXPECT_TRUE(has(r.tool.out, "Found software\n")) << r.tool.out;
  EXPECT_TRUE(has(r.tool.out, "  0 % network transfer\r  4 % network transfer\r")) << r.tool.out;
  EXPECT_TRUE(has(r.tool.out, "Download successfully finished."));
  EXPECT_EQ(kDownloadExchange, r.record);
  EXPECT_EQ(0, r.box_code) << r.box;
}

TEST_F(NetServer, LoopGreetsAgainOnTheSameConnection) {
  ServerRun r = run({"--software", "2:23.0=" + software_}, {"-C", "update", "-l"},
                    {"--expect", software_, "--boxes", "2"}, "\nn\n");
  EXPECT_EQ(0, r.tool.exit_code) << r.tool.out << r.tool.err;
  EXPECT_EQ(kDownloadExchange + kDownloadExchange, r.record);
  EXPECT_TRUE(has(r.server, "CONNECTION 1\n")) << r.server;
  EXPECT_FALSE(has(r.server, "CONNECTION 2\n")) << r.server;
  EXPECT_EQ(0, r.box_code) << r.box;
}

TEST_F(NetServer, SizeZeroIsNothingNewAndTheBoxGetsNothing) {
  ServerRun r = run({"--size", "0"}, {"-C", "update"}, {});
  EXPECT_EQ(0, r.tool.exit_code) << r.tool.err;
  EXPECT_TRUE(has(r.tool.out, kNothingNew)) << r.tool.out;
  EXPECT_EQ(kDownloadExchange, r.record);
  EXPECT_TRUE(has(r.box, "received 0 bytes")) << r.box;
}

// A size beyond the image buffer is refused before any byte is stored; the
// goodbye still goes out.
TEST_F(NetServer, OversizedSoftwareIsRefusedWithMessage102) {
  ServerRun r = run({"--size", "8388609"}, {"-C", "update"}, {});
  EXPECT_EQ(1, r.tool.exit_code);
  EXPECT_TRUE(has(r.tool.err, "file size exceeds limit, please use actual version of update.exe\n"))
      << r.tool.err;
  EXPECT_FALSE(has(r.tool.out, "network transfer"));
  EXPECT_TRUE(has(r.tool.out, kFailed));
  EXPECT_EQ(kDownloadExchange, r.record);
  EXPECT_TRUE(has(r.box, "received 0 bytes")) << r.box;
}

TEST_F(NetServer, GreetingWithoutAnswerIsMessage100) {
  ServerRun r = run({"--close-at", "greeting"}, {"-C", "update"}, {});
  EXPECT_EQ(1, r.tool.exit_code);
  EXPECT_TRUE(has(r.tool.err, "could not connect to STB\n")) << r.tool.err;
  EXPECT_TRUE(has(r.tool.out, kFailed));
  EXPECT_EQ(bytes_of({'B'}), r.record);
}

// Answers that break off end the run with code 1 and leave the box alone.
TEST_F(NetServer, BrokenAnswersEndWithCode1) {
  struct Case {
    std::vector<std::string> fault;
    std::string command, line, record;
  } cases[] = {
      {{"--close-at", "query:1"},
       "query",
       "The update server did not answer the query.\n",
       bytes_of({'B', 'C', 2, 23, 0, 'Z'})},
      {{"--close-at", "size:2"},
       "update",
       "The update server did not announce the software size.\n",
       kDownloadExchange},
      {{"--close-at", "software:1000"},
       "update",
       "Reception of the software broke off after 1000 of 20013 bytes; nothing was sent to "
       "the box.\n",
       kDownloadExchange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault[1]);
    std::vector<std::string> args = c.fault;
    args.insert(args.end(), {"--software", "2:23.0=" + software_});
    std::string journal = dir_ + "/" + c.fault[1] + ".jsonl";
    ServerRun r = run(args, {"-C", c.command, "--journal", journal}, {});
    EXPECT_EQ(1, r.tool.exit_code);
    EXPECT_TRUE(has(r.tool.err, c.line)) << r.tool.err;
    // The record names the server's failure, not the box's.
    std::string line = c.line.substr(0, c.line.size() - 1);
    EXPECT_TRUE(has(read_file(journal), "\"box_version\":\"23.0\"")) << read_file(journal);
    EXPECT_TRUE(has(read_file(journal), "\"result\":\"failed\",\"exit_code\":1,\"error\":\"" +
                                            line + "\",\"error_code\":null,\"box_error\":null}"))
        << read_file(journal);
    EXPECT_TRUE(has(r.tool.out, kFailed));
    EXPECT_EQ(c.record, r.record);
    EXPECT_TRUE(has(r.box, "received 0 bytes")) << r.box;
  }
}

}  // namespace

namespace {

// Fetched software passes the check a file passes before any byte goes to
// the box: a damaged or foreign file ends the run with the file check's
// message, the box untouched.
TEST_F(NetServer, DamagedSoftwareNeverReachesTheBox) {
  struct Case {
    std::vector<std::string> pad;
    std::string line;
  } cases[] = {
      {{"--bad-checksum"}, "Checking file ... failed. Abort!\n"},
      {{"--length-field", "3"}, "Checking file ... failed. Abort!\n"},
      {{"--extra-byte"}, "Checking file ... failed. Abort!\n"},
      {{"--format", "18"}, "Unknown PAD-file format \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pad[0]);
    std::string bad = dir_ + "/bad.pad";
    std::vector<std::string> args = {"--version", "23.0", "--random", "2000"};
    if (c.pad[0] != "--format") args.insert(args.end(), {"--format", "21"});
    args.insert(args.end(), c.pad.begin(), c.pad.end());
    ASSERT_EQ(0, make_pad(bad, args));
    std::string journal = dir_ + "/bad" + c.pad[0] + ".jsonl";
    ServerRun r = run({"--software", "2:23.0=" + bad}, {"-C", "update", "--journal", journal}, {});
    EXPECT_EQ(1, r.tool.exit_code) << r.tool.out << r.tool.err;
    EXPECT_TRUE(has(r.tool.out, c.line)) << r.tool.out;
    EXPECT_TRUE(has(r.tool.out, kFailed));
    std::string cause = c.line.substr(0, c.line.find_last_not_of(" \n") + 1);
    EXPECT_TRUE(has(read_file(journal), "\"error\":\"" + cause + "\"")) << read_file(journal);
    EXPECT_TRUE(has(r.box, "received 0 bytes")) << r.box;
  }
}

}  // namespace
