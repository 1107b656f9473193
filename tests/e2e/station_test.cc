// update-station run as a user would: slots of boxsims on pseudo-terminals,
// one shared journal, the line mode's output, Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// A slot: boxsim's options, or no device at all when `missing`.
struct SlotSpec {
  std::vector<std::string> box;
  bool missing = false;
  int ok, failed;  // the journal's lines for the port
  int box_exit;    // boxsim's verdict (-2: not checked)
};

struct Case {
  const char* name;
  std::vector<SlotSpec> slots;
  std::vector<std::string> station;  // the station's own options
  int exit_code;
  std::string cause;  // a failure cause the summary must list
};

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = make_temp_dir();
    file = dir + "/box.pad";
    ASSERT_EQ(make_pad(file, {"--format", "21", "--version", "23.0", "--record", "6000", "--record",
                              "300:marked"}),
              0);
  }
  void TearDown() override {
    for (BgProcess& b : boxes) kill_process(&b);
    std::system(("rm -rf " + dir).c_str());
  }
  // Starts boxsim with `args`; returns its pty path.
  std::string start_box(const std::vector<std::string>& args) {
    std::string pty = start_pty_box(&boxes, args);
    EXPECT_FALSE(pty.empty());
    return pty;
  }
  std::vector<std::string> station_argv(const std::vector<std::string>& ports,
                                        const std::vector<std::string>& options) {
    std::vector<std::string> argv = {build_path("update-station")};
    for (const std::string& p : ports) argv.insert(argv.end(), {"-p", p});
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--journal", dir + "/journal.jsonl", file});
    return argv;
  }
  // The journal's results per port: "ok", "failed", "stopped" counted.
  std::map<std::string, std::map<std::string, int>> journal() {
    std::map<std::string, std::map<std::string, int>> per_port;
    std::istringstream in(read_file(dir + "/journal.jsonl"));
    std::string line;
    while (std::getline(in, line)) {
      nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
      EXPECT_TRUE(r.is_object()) << line;
      if (!r.is_object()) continue;
      per_port[r["port"].dump()][r["result"].get<std::string>()]++;
      if (r["result"] == "ok") {
        EXPECT_EQ(r["box_version"], "23.0") << line;
      }
    }
    return per_port;
  }
  std::string dir, file;
  std::vector<BgProcess> boxes;
};

TEST_F(Station, SlotsBoxesAndTheirEnds) {
  const std::vector<std::string> good = {"--boxes", "3"};
  const Case cases[] = {
      {"four slots, three boxes each",
       {{good, false, 3, 0, 0},
        {good, false, 3, 0, 0},
        {good, false, 3, 0, 0},
        {good, false, 3, 0, 0}},
       {"--boxes", "3"},
       0,
       ""},
      {"a box that sends an ERROR: line",
       {{good, false, 3, 0, 0},
        {{"--error-at", "download", "--error-line", "\\r\\nERROR: bad flash id\\r\\n"},
         false,
         0,
         1,
         -2}},
       {"--boxes", "3", "--max-failures", "1"},
       1,
       "failed: ERROR: bad flash id"},
      {"a device that does not exist",
       {{good, false, 3, 0, 0}, {{}, true, 0, 2, -2}},
       {"--boxes", "3", "--max-failures", "2"},
       1,
       "Inititialization of COM-port failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    boxes.clear();
    SetUp();
    std::vector<std::string> ports;
    std::vector<size_t> box_of;
    for (const SlotSpec& s : c.slots) {
      box_of.push_back(boxes.size());
      if (s.missing) {
        ports.push_back(dir + "/no-such-device");
        continue;
      }
      std::vector<std::string> args = s.box;
      if (s.box_exit == 0) args.insert(args.end(), {"--expect", file});
      ports.push_back(start_box(args));
    }
    ProcResult r = run_process(station_argv(ports, c.station), "", 120000);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    // Not a terminal: plain lines, each starting with its port.
    EXPECT_EQ(r.out.find_first_of("\r\x1b"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.cause), std::string::npos) << r.out;
    auto per_port = journal();
    for (size_t i = 0; i < c.slots.size(); i++) {
      const SlotSpec& s = c.slots[i];
      auto& counts = per_port[nlohmann::json(ports[i]).dump()];
      EXPECT_EQ(counts["ok"], s.ok) << ports[i] << "\n" << r.out;
      EXPECT_EQ(counts["failed"], s.failed) << ports[i] << "\n" << r.out;
      if (s.failed) {
        EXPECT_NE(r.out.find(ports[i] + ": parked"), std::string::npos) << r.out;
      }
      // boxsim --expect: every box got the file byte for byte.
      if (s.box_exit != -2) {
        EXPECT_EQ(wait_process(&boxes[box_of[i]], 20000), s.box_exit);
      }
    }
  }
}

// The first Ctrl-C lets the box in its transfer finish and stops the slot
// that has no box on its line, without counting it as an attempt.
TEST_F(Station, FirstCtrlCFinishesTheBoxInProgress) {
  // About four seconds on the paced line at 115200.
  ASSERT_EQ(make_pad(file, {"--format", "21", "--version", "23.0", "--record", "45000"}), 0);
  std::string busy = start_box({"--pace", "--expect", file});
  std::string idle = start_box({"--silent-at", "keyword"});
  BgProcess station;
  ASSERT_TRUE(start_process(&station, station_argv({busy, idle}, {})));
  EXPECT_NE(wait_for_line(&station, busy + ": download", 20000), "") << station.out;
  kill(station.pid, SIGINT);
  EXPECT_EQ(wait_process(&station, 30000), 0) << station.out;
  EXPECT_NE(station.out.find(busy + ": ok"), std::string::npos) << station.out;
  EXPECT_NE(station.out.find(idle + ": stopped, no box"), std::string::npos) << station.out;
  auto per_port = journal();
  EXPECT_EQ(per_port[nlohmann::json(busy).dump()]["ok"], 1);
  EXPECT_EQ(per_port[nlohmann::json(idle).dump()]["stopped"], 1);
  EXPECT_EQ(wait_process(&boxes[0], 20000), 0);
  // The record names the station as the one that stopped the run, whoever
  // wrote it: the run itself, or the station for a run that left none.
  std::istringstream in(read_file(dir + "/journal.jsonl"));
  std::string line;
  while (std::getline(in, line)) {
    nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
    if (r.value("result", "") != "stopped") continue;
    EXPECT_EQ(r.value("error", "").rfind("Stopped by the station during ", 0), 0u) << line;
  }
}

// Whatever every run would refuse ends the station before any run starts:
// no attempt, no record, the reason on standard error.
TEST_F(Station, ChecksBeforeAnyStart) {
  std::string port = start_box({"--expect", file});
  std::string link = dir + "/same-port";
  ASSERT_EQ(symlink(port.c_str(), link.c_str()), 0);
  write_file(dir + "/bad.pad", "not a PAD file\n");
  const std::string journal = dir + "/journal.jsonl";
  write_file(dir + "/blank-token", " \t \nsecond\n");
  write_file(dir + "/long-token", std::string(1024, 't') + "\n");
  struct Check {
    const char* name;
    std::vector<std::string> words;  // after -p PORT
    int exit_code;
    std::string err;
  } checks[] = {
      {"a file the tool refuses",
       {"--journal", journal, dir + "/bad.pad"},
       1,
       "Checking file ... failed. Abort!"},
      {"no update program",
       {"--update", dir + "/no-update", "--journal", journal, file},
       1,
       "cannot run " + dir + "/no-update"},
      {"a journal that cannot be written",
       {"--journal", dir + "/none/j.jsonl", file},
       1,
       "cannot open the journal"},
      {"one port twice", {"-p", link, "--journal", journal, file}, 1, "are the same port"},
      {"a cluster that sets the port", {"-wp", "4", "--journal", journal, file}, 2, "-wp:"},
      {"a prefix of --loop", {"--lo", "--journal", journal, file}, 2, "--lo:"},
      {"--events in the runs' words", {"--events=e", "--journal", journal, file}, 2, "--events=e:"},
      // Tokens that could never match: control would be off without a word.
      {"a token file of blanks",
       {"--http", "127.0.0.1:0", "--http-token-file", dir + "/blank-token", file},
       2,
       "has no token on its first line"},
      {"a token past 1023 bytes",
       {"--http", "127.0.0.1:0", "--http-token-file", dir + "/long-token", file},
       2,
       "longer than 1023 bytes"},
  };
  for (const Check& c : checks) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {build_path("update-station"), "-p", port};
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    ProcResult r = run_process(argv, "", 20000);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(access(journal.c_str(), F_OK), 0) << read_file(journal);
  }
}

// A run that ends without a record of its own gets one from the station,
// with the last words of its standard error. The station's name goes to
// every run.
TEST_F(Station, RunWithoutARecordIsRecordedByTheStation) {
  std::string fake = dir + "/update";
  write_file(fake,
             "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\n"
             "echo 'starting up' >&2\necho 'no such line, sorry' >&2\nexit 3\n");
  chmod(fake.c_str(), 0755);
  ProcResult r = run_process(station_argv({dir + "/port-a"}, {"--update", fake, "--station",
                                                              "line 3", "--max-failures", "1"}),
                             "", 30000);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(read_file(fake + ".args").find("\n--station\nline 3\n--journal\n"), std::string::npos)
      << read_file(fake + ".args");
  std::string text = read_file(dir + "/journal.jsonl");
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  nlohmann::json rec = nlohmann::json::parse(text, nullptr, false);
  EXPECT_EQ(rec.value("result", ""), "failed") << text;
  EXPECT_EQ(rec.value("exit_code", 0), 3) << text;
  EXPECT_EQ(rec.value("port", ""), dir + "/port-a") << text;
  EXPECT_EQ(rec.value("file_version", ""), "23.0") << text;
  std::string error = rec.value("error", "");
  EXPECT_NE(error.find("update ended without a record (exit code 3)"), std::string::npos) << text;
  EXPECT_NE(error.find("starting up | no such line, sorry"), std::string::npos) << text;
}

// The pids of the processes whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> out;
  ProcResult ps = run_process({"/bin/sh", "-c", "cat /proc/[0-9]*/stat 2>/dev/null"}, "", 10000);
  std::istringstream in(ps.out);
  std::string line;
  while (std::getline(in, line)) {
    size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    pid_t ppid;
    if (rest >> state >> ppid && ppid == parent && state != 'Z')
      out.push_back(std::atoi(line.c_str()));
  }
  return out;
}

bool alive(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && stat[close + 2] != 'Z';
}

// Serials from a list go one to a run, each once, whatever restarts
// between; the operator goes to every run. A list with a serial that
// cannot be one, or an operator name that cannot, starts nothing.
TEST_F(Station, UnitsFromAListEachOnceOverARestart) {
  std::string fake = dir + "/update";
  write_file(fake, "#!/bin/sh\nprintf '%s ' \"$@\" >>\"$0.args\"\necho >>\"$0.args\"\nexit 3\n");
  chmod(fake.c_str(), 0755);
  std::string units = dir + "/units.txt";
  write_file(units, "SN-1\r\n\nSN-2\n");
  std::vector<std::string> options = {"--update",   fake,    "--units",        units,
                                      "--operator", "Ann B", "--max-failures", "9"};
  ProcResult r = run_process(station_argv({dir + "/port-a"}, options), "", 30000);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  write_file(units, "SN-1\r\n\nSN-2\nSN-3\n");
  r = run_process(station_argv({dir + "/port-a"}, options), "", 30000);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  std::istringstream runs(read_file(fake + ".args"));
  std::vector<std::string> seen;
  for (std::string line; std::getline(runs, line);) {
    EXPECT_NE(line.find(" --operator Ann B --unit "), std::string::npos) << line;
    size_t at = line.find("--unit ");
    if (at != std::string::npos)
      seen.push_back(line.substr(at + 7, line.find(' ', at + 7) - at - 7));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"SN-1", "SN-2", "SN-3"}));
  EXPECT_EQ(read_file(units + ".used"), "SN-1\nSN-2\nSN-3\n");

  write_file(units, "SN-4\n" + std::string(65, 'x') + "\n");
  r = run_process(station_argv({dir + "/port-a"}, options), "", 30000);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("longer than 64"), std::string::npos) << r.err;
  r = run_process(station_argv({dir + "/port-a"}, {"--update", fake, "--operator", "A\tB"}), "",
                  30000);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("--operator"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(units + ".used"), "SN-1\nSN-2\nSN-3\n");
}

// The real tool takes the unit and the operator into its record.
TEST_F(Station, TheRecordNamesTheUnitAndTheOperator) {
  std::string box = start_box({"--expect", file});
  write_file(dir + "/units.txt", "SN-9\n");
  ProcResult r = run_process(
      station_argv({box}, {"--units", dir + "/units.txt", "--operator", "Ann B"}), "", 60000);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  nlohmann::json rec = nlohmann::json::parse(read_file(dir + "/journal.jsonl"), nullptr, false);
  ASSERT_TRUE(rec.is_object()) << read_file(dir + "/journal.jsonl");
  EXPECT_EQ(rec["result"], "ok");
  EXPECT_EQ(rec["unit"], "SN-9");
  EXPECT_EQ(rec["operator"], "Ann B");
}

// Serials typed on the station's standard input, as a scanner types them:
// a slot starts only once it has one, the slot named first or else the one
// waiting; the real tool's record carries it. Input that ends lets the
// boxes with a serial finish and ends the station.
TEST_F(Station, ScannedSerialsGoIntoTheRecords) {
  std::string a = start_box({"--expect", file});
  std::string b = start_box({"--expect", file});
  BgProcess station;
  ASSERT_TRUE(
      start_process(&station, station_argv({a, b}, {"--scan", "--operator", "Ann B"}), true));
  EXPECT_NE(wait_for_line(&station, "update-station: scan: each line is the serial", 20000), "")
      << station.out;
  std::string typed = "2 SN-B\n";
  ASSERT_EQ(write(station.in_fd, typed.data(), typed.size()), (ssize_t)typed.size());
  EXPECT_NE(wait_for_line(&station, b + ": ok", 60000), "") << station.out << station.err;
  // A whole box on slot 2, and slot 1, with a box on its line all along,
  // has not begun: it waits for its serial.
  EXPECT_EQ(station.out.find(a + ": "), std::string::npos) << station.out;
  std::string text = read_file(dir + "/journal.jsonl");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  // An overlong line is refused once, whatever its length; the last line
  // comes without its end, and then no more.
  typed = "\n9 SN-X\n" + std::string(300, 'x') + "\nSN-A";
  ASSERT_EQ(write(station.in_fd, typed.data(), typed.size()), (ssize_t)typed.size());
  close(station.in_fd);
  station.in_fd = -1;
  EXPECT_EQ(wait_process(&station, 60000), 0) << station.out << station.err;
  EXPECT_NE(station.out.find("update-station: scan: no slot 9 (1 to 2): SN-X not taken\n"),
            std::string::npos)
      << station.out;
  EXPECT_NE(station.out.find("update-station: scan: SN-A for slot 1 (" + a + ")\n"),
            std::string::npos)
      << station.out;
  EXPECT_NE(station.out.find("update-station: scan: the input has ended"), std::string::npos)
      << station.out;
  size_t too_long = 0;
  for (size_t at = station.out.find("longer than 64"); at != std::string::npos;
       at = station.out.find("longer than 64", at + 1))
    too_long++;
  EXPECT_EQ(too_long, 1u) << station.out;
  std::map<std::string, std::string> unit_of;
  std::istringstream in(read_file(dir + "/journal.jsonl"));
  for (std::string line; std::getline(in, line);) {
    nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(r.is_object()) << line;
    EXPECT_EQ(r["result"], "ok") << line;
    EXPECT_EQ(r["operator"], "Ann B") << line;
    unit_of[r["port"].get<std::string>()] = r["unit"].is_string() ? r["unit"] : "-";
  }
  EXPECT_EQ(unit_of, (std::map<std::string, std::string>{{a, "SN-A"}, {b, "SN-B"}}));
  EXPECT_EQ(wait_process(&boxes[0], 20000), 0);
  EXPECT_EQ(wait_process(&boxes[1], 20000), 0);
}

// A station killed outright takes its runs with it: none holds a port on.
TEST_F(Station, RunsDieWithTheirStation) {
  std::string idle = start_box({"--silent-at", "keyword"});
  BgProcess station;
  ASSERT_TRUE(start_process(&station, station_argv({idle}, {})));
  std::vector<pid_t> runs;
  for (int i = 0; i < 100 && runs.empty(); i++) {
    usleep(50000);
    runs = children_of(station.pid);
  }
  ASSERT_EQ(runs.size(), 1u);
  usleep(300000);  // the run is past its start, waiting for the box
  kill(station.pid, SIGKILL);
  wait_process(&station, 5000);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; i++) {
    usleep(50000);
    gone = !alive(runs[0]);
  }
  EXPECT_TRUE(gone) << "the run outlived its station";
  if (!gone) kill(runs[0], SIGKILL);
}

// Output that goes away (a closed pipe) ends no supervision: the box on the
// line finishes and is recorded, the station drains and says so with 1.
TEST_F(Station, OutputGoneLetsTheBoxFinish) {
  ASSERT_EQ(make_pad(file, {"--format", "21", "--version", "23.0", "--record", "45000"}), 0);
  std::string busy = start_box({"--pace", "--expect", file});
  BgProcess station;
  // As from a shell: SIGPIPE as the system sets it, not as this test does.
  std::vector<std::string> argv = {"/usr/bin/env", "--default-signal=PIPE"};
  for (const std::string& w : station_argv({busy}, {})) argv.push_back(w);
  ASSERT_TRUE(start_process(&station, argv));
  EXPECT_NE(wait_for_line(&station, busy + ": download", 20000), "") << station.out;
  close(station.out_fd);
  station.out_fd = -1;
  EXPECT_EQ(wait_process(&station, 30000), 1) << station.err;
  EXPECT_EQ(journal()[nlohmann::json(busy).dump()]["ok"], 1);
  EXPECT_EQ(wait_process(&boxes[0], 20000), 0);
}

}  // namespace

namespace {

std::string tmux(const std::string& sock, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/tmux", "-L", sock};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, "", 10000).out;
}

// The live view in a real terminal: rows in place, the percent rising while
// the box takes the file, the summary under the last frame.
TEST_F(Station, LiveViewInATerminal) {
  if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "no tmux";
  ASSERT_EQ(make_pad(file, {"--format", "21", "--version", "23.0", "--record", "45000"}), 0);
  std::string a = start_box({"--pace", "--expect", file});
  std::string b = start_box({"--pace", "--expect", file});
  std::string sock = "station-test-" + std::to_string(getpid());
  std::string cmd;
  for (const std::string& w : station_argv({a, b}, {"--boxes", "1"})) cmd += "'" + w + "' ";
  tmux(sock,
       {"new-session", "-d", "-x", "160", "-y", "20", cmd + "; echo STATION-EXIT $?; sleep 60"});
  std::vector<int> seen;  // the first slot's percent, frame after frame
  std::string screen;
  for (int i = 0; i < 300 && screen.find("STATION-EXIT") == std::string::npos; i++) {
    usleep(100000);
    screen = tmux(sock, {"capture-pane", "-p"});
    size_t row = screen.find(" 1 " + a);
    size_t bar = row == std::string::npos ? row : screen.find("] ", row);
    size_t eol = screen.find('\n', row);
    if (bar != std::string::npos && bar < eol && screen.find('%', bar) < eol) {
      int pct = std::atoi(screen.c_str() + bar + 2);
      if (seen.empty() || seen.back() != pct) seen.push_back(pct);
    }
  }
  tmux(sock, {"kill-server"});
  EXPECT_NE(screen.find("STATION-EXIT 0"), std::string::npos) << screen;
  EXPECT_NE(screen.find("Station: 2 ok, 0 failed"), std::string::npos) << screen;
  // Redrawn in place: one header, one row per slot, no line mode lines.
  EXPECT_EQ(screen.find(a + ": "), std::string::npos) << screen;
  size_t rows = 0;
  for (size_t p = screen.find(" 2 " + b); p != std::string::npos; p = screen.find(" 2 " + b, p + 1))
    rows++;
  EXPECT_EQ(rows, 1u) << screen;
  ASSERT_GE(seen.size(), 3u) << screen;
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << ::testing::PrintToString(seen);
  EXPECT_GT(seen.back(), seen.front());
}

// More slots than the terminal has rows: the compact view, drawn in place,
// never scrolled off the top.
TEST_F(Station, CompactViewInASmallTerminal) {
  if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "no tmux";
  std::string fake = dir + "/update";
  write_file(fake, "#!/bin/sh\nsleep 3\nexit 3\n");
  chmod(fake.c_str(), 0755);
  std::vector<std::string> ports;
  for (int i = 1; i <= 8; i++) ports.push_back(dir + "/p" + std::to_string(i));
  std::string sock = "station-compact-" + std::to_string(getpid());
  std::string cmd;
  for (const std::string& w : station_argv(ports, {"--boxes", "1", "--update", fake}))
    cmd += "'" + w + "' ";
  tmux(sock, {"new-session", "-d", "-x", "160", "-y", "6", cmd + "; sleep 60"});
  std::string screen;
  bool compact = false;
  for (int i = 0; i < 25 && !compact; i++) {
    usleep(100000);
    screen = tmux(sock, {"capture-pane", "-p"});
    compact = screen.find("more slots") != std::string::npos;
  }
  tmux(sock, {"kill-server"});
  EXPECT_TRUE(compact) << screen;
  size_t headers = 0;
  for (size_t p = screen.find("box.pad  version"); p != std::string::npos;
       p = screen.find("box.pad  version", p + 1))
    headers++;
  EXPECT_EQ(headers, 1u) << screen;
}

}  // namespace

namespace {

// update --events on its own: the lines of a good box and of a box that
// refuses the download with an ERROR: line.
TEST_F(Station, EventStreamOfAGoodAndAFailedBox) {
  struct Case {
    std::vector<std::string> box;
    int exit_code;
    std::vector<std::string> phases;
    std::string result, box_error;
  } cases[] = {
      {{"--expect", file},
       0,
       {"start", "open", "wake", "sync", "identify", "download", "program", "end"},
       "ok",
       ""},
      {{"--error-at", "download", "--error-line", "\\r\\nERROR: download refused\\r\\n"},
       1,
       {"start", "open", "wake", "sync", "identify", "end"},
       "failed",
       "ERROR: download refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    boxes.clear();
    std::string port = start_box(c.box);
    std::string events = dir + "/events-" + c.result + ".jsonl";
    std::string journal = dir + "/journal-" + c.result + ".jsonl";
    ProcResult r = run_process(
        {update_bin(), "-p", port, "-s", "3", "--events", events, "--journal", journal, file});
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    std::vector<std::string> phases;
    std::vector<long> speeds;
    std::string box, last;
    int percent = -1;
    nlohmann::json record;
    std::istringstream in(read_file(events));
    std::string line;
    while (std::getline(in, line)) {
      nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
      ASSERT_TRUE(e.is_object()) << line;
      std::string t = e.value("time", "");
      EXPECT_TRUE(t.size() == 24 && t[10] == 'T' && t[19] == '.' && t[23] == 'Z') << line;
      EXPECT_NE(last, "end") << "a line after the end: " << line;
      last = e.value("event", "");
      if (last == "phase") phases.push_back(e.value("phase", ""));
      if (last == "box") box = e.value("box_version", "");
      if (last == "speed") speeds.push_back(e.value("line_speed", 0));
      if (last == "progress") {
        EXPECT_GT(e.value("percent", -1), percent) << line;  // at most one per 1%
        percent = e.value("percent", -1);
      }
      if (last == "end") record = e["record"];
    }
    EXPECT_EQ(phases, c.phases);
    // The opening speed from the open on, then the one agreed on.
    EXPECT_EQ(speeds, (std::vector<long>{115200, 921600}));
    EXPECT_EQ(box, "23.0");
    EXPECT_EQ(last, "end");
    EXPECT_EQ(record.value("result", ""), c.result) << record.dump();
    // The end line carries the journal's record itself, its attempt id too.
    EXPECT_EQ(record, nlohmann::json::parse(read_file(journal), nullptr, false));
    EXPECT_EQ(record.value("attempt", "").size(), 32u) << record.dump();
    EXPECT_EQ(record.value("exit_code", -1), c.exit_code);
    if (c.exit_code == 0) {
      EXPECT_EQ(percent, 100);
      EXPECT_TRUE(record["box_error"].is_null()) << record.dump();
    } else {
      EXPECT_NE(record.value("box_error", "").find(c.box_error), std::string::npos)
          << record.dump();
    }
  }
}

}  // namespace
