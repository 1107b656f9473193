// The front end as a user meets it: usage, version, language, the -x
// dialogue, the ENTER pause, the file check through a COM port given as a
// pseudo-terminal, and the checks of the network settings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/e2e/harness.h"

namespace {

const char kPause[] = "error updating image -> ENTER\n";

// A pseudo-terminal whose slave stands in for a COM port that opens.
struct Pty {
  int master = -1;
  int com = 0;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    com = 1000 + std::atoi(std::strrchr(ptsname(master), '/') + 1);
  }
  ~Pty() { close(master); }
  std::string port() const { return std::to_string(com); }
};

std::string padtool_create(const std::string& dir, const std::string& name,
                           const std::vector<std::string>& args) {
  std::string path = dir + "/" + name;
  EXPECT_EQ(make_pad(path, args), 0);
  return path;
}

std::string copy_tool_as(const std::string& dir, const std::string& name) {
  std::string path = dir + "/" + name;
  write_file(path, read_file(update_bin()));
  chmod(path.c_str(), 0755);
  return path;
}

TEST(FrontEnd, NoArgumentsGiveTheUsageAndThePause) {
  ProcResult r = run_process({update_bin()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, kPause);
  EXPECT_NE(r.err.find("[-l] [--loop] [-i <arg>]"), std::string::npos);
  EXPECT_NE(r.err.find(" <file> : PAD-File\n"), std::string::npos);
}

TEST(FrontEnd, VersionOutputNeedsNoFile) {
  ProcResult r = run_process({update_bin(), "-v", "-q"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "update 3.6-25");
  EXPECT_NE(r.out.find("This program supports the following bootloader versions: \n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\n\t34.0  34.* \n\t 0.1   0.0  \n"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

TEST(FrontEnd, ProgramNameSelectsGerman) {
  std::string dir = make_temp_dir();
  std::string german = copy_tool_as(dir, "qlnaktualisieren.exe");
  ProcResult r = run_process({german, "-v"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "aktualisieren.exe 3.6-25");
  EXPECT_NE(r.out.find("Diese Programm unterstuetzt"), std::string::npos);

  r = run_process({german, "-q"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Fehler beim Updaten der Software -> ENTER\n");
  EXPECT_NE(r.err.find(german + " \\ \n   <file> \n\n <file> : PAD-File\n"), std::string::npos);

  r = run_process({copy_tool_as(dir, "box"), "-q"});
  EXPECT_EQ(r.out, kPause);
  system(("rm -rf " + dir).c_str());
}

TEST(FrontEnd, RejectedOptionsAndWrongArgumentCounts) {
  ProcResult r = run_process({update_bin(), "--fa", "x.pad"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.find(update_bin() + ": option '--fa' is ambiguous"), 0u) << r.err;
  EXPECT_NE(r.err.find("PAD-File"), std::string::npos);

  r = run_process({update_bin(), "-w", "a.pad", "b.pad"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.find(update_bin() + " \\ \n"), 0u);

  r = run_process({update_bin(), "box.pad", "-w", "-p", "2"}, "", 60000, {"POSIXLY_CORRECT=1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("PAD-File"), std::string::npos);
}

TEST(FrontEnd, SpeedZeroEndsWithoutAWordOrAPause) {
  ProcResult r = run_process({update_bin(), "-s", "0", "x.pad"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(FrontEnd, ThePauseWaitsForOneCharacter) {
  BgProcess p;
  ASSERT_TRUE(start_process(&p, {update_bin()}, true));
  EXPECT_EQ(wait_for_line(&p, "error updating image", 5000), "error updating image -> ENTER");
  // Still waiting a moment later.
  usleep(300000);
  EXPECT_EQ(waitpid(p.pid, nullptr, WNOHANG), 0);
  ASSERT_EQ(write(p.in_fd, "\n", 1), 1);
  EXPECT_EQ(wait_process(&p, 5000), 1);
}

TEST(FrontEnd, PortThatDoesNotOpen) {
  ProcResult r = run_process({update_bin(), "-p", "999", "x.pad"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Inititialization of COM-port failed (Error:  2)\n");
  EXPECT_EQ(r.out, kPause);
}

TEST(FrontEnd, FileCheckThroughAPseudoTerminal) {
  Pty pty;
  std::string dir = make_temp_dir();
  ProcResult r = run_process({update_bin(), "-p", pty.port(), dir + "/missing.pad"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string("Checking file ... failed. Abort!\n") + kPause);

  std::string bad = padtool_create(
      dir, "bad.pad", {"--format", "21", "--version", "23.0", "--record", "10", "--bad-checksum"});
  r = run_process({update_bin(), "-p", pty.port(), bad});
  EXPECT_EQ(r.out, std::string("Checking file ... failed. Abort!\n") + kPause);

  std::string unknown = padtool_create(dir, "f18.pad", {"--format", "18", "--version", "23.0"});
  r = run_process({update_bin(), "-p", pty.port(), unknown});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string("Checking file ... OK\nUnknown PAD-file format \n") + kPause);

  // A payload that passes the 8 MiB test but whose file does not fit the
  // image buffer is refused before anything is read into it.
  std::string huge = padtool_create(dir, "huge.pad",
                                    {"--format", "21", "--version", "23.0", "--random", "8388600"});
  r = run_process({update_bin(), "-p", pty.port(), huge});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string("Checking file ...") + kPause);
  EXPECT_EQ(r.err, "file size exceeds limit, please use actual version of update.exe\n");

  // A /cygdrive/ name is opened in its drive-letter form.
  padtool_create(dir, "c:x.pad", {"--format", "18", "--version", "23.0"});
  r = run_process({update_bin(), "-p", pty.port(), "/cygdrive/c/x.pad"}, "", 60000, {}, dir);
  EXPECT_EQ(r.out, std::string("Checking file ... OK\nUnknown PAD-file format \n") + kPause);
  system(("rm -rf " + dir).c_str());
}

// Only a regular file is a PAD file: a FIFO would block the first open for
// good. Links are followed.
TEST(FrontEnd, FileCheckRefusesWhatIsNotARegularFile) {
  Pty pty;
  std::string dir = make_temp_dir();
  ASSERT_EQ(mkfifo((dir + "/fifo.pad").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir + "/dir.pad").c_str(), 0700), 0);
  padtool_create(dir, "f18.pad", {"--format", "18", "--version", "23.0"});
  ASSERT_EQ(symlink((dir + "/f18.pad").c_str(), (dir + "/link.pad").c_str()), 0);
  struct Case {
    const char* name;
    std::string out;
  } cases[] = {
      {"fifo.pad", "Checking file ... failed. Abort!\n"},
      {"dir.pad", "Checking file ... failed. Abort!\n"},
      {"link.pad", "Checking file ... OK\nUnknown PAD-file format \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcResult r = run_process({update_bin(), "-p", pty.port(), dir + "/" + c.name}, "", 10000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, c.out + kPause);
  }
  system(("rm -rf " + dir).c_str());
}

TEST(FrontEnd, PatchDialogueAsksUntilYesOrNo) {
  Pty pty;
  std::string dir = make_temp_dir();
  std::string f18 = padtool_create(dir, "f18.pad", {"--format", "18", "--version", "23.0"});
  const std::string prompt =
      "Attention, if you really want to use option -x enter:\n    YES, I want to use it\n"
      "or  NO, by no means\n";
  ProcResult r =
      run_process({update_bin(), "-x", "-p", pty.port(), f18}, "yes\nYES, I want to use it\n\n");
  EXPECT_EQ(r.out.find(prompt + prompt + "Oh my good\n\n\n"), 0u) << r.out;

  r = run_process({update_bin(), "-x", "-p", pty.port(), f18}, "NEIN, lieber nicht\n");
  EXPECT_EQ(r.out.find(prompt + "Very good decision!\n\n\nChecking file"), 0u) << r.out;

  // End of input counts as no instead of asking for ever.
  r = run_process({update_bin(), "-x", "-p", pty.port(), f18}, "", 10000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out.find(prompt + "Very good decision!\n\n\n"), 0u) << r.out;
  system(("rm -rf " + dir).c_str());
}

TEST(FrontEnd, NetworkSettingChecks) {
  // A port but no host.
  ProcResult r = run_process({update_bin(), "-j", "7000", "x.pad"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "No IP Address given as parameter (-i)\n");
  r = run_process({update_bin(), "-C", "update"});
  EXPECT_EQ(r.err, "No IP Address given as parameter (-i)\n");

  // With -i the COM port is never opened, not even for a test: port 999
  // does not exist and is not complained about.
  std::string dir = make_temp_dir();
  std::string pad = padtool_create(dir, "ok.pad", {"--format", "21", "--version", "23.0"});
  r = run_process({update_bin(), "-p", "999", "-i", "127.0.0.1", "-j", "1", pad});
  EXPECT_EQ(r.err.find("Inititialization"), std::string::npos);
  EXPECT_NE(r.out.find("-->  127.0.0.1:1\n"), std::string::npos);
  EXPECT_NE(r.err.find("could not connect to STB\n"), std::string::npos);
  EXPECT_EQ(r.exit_code, 1);
  system(("rm -rf " + dir).c_str());
}

// A journal that cannot be opened ends the run before anything else: no
// port is opened (the port here would not open either), no file read. One
// that opens but cannot take the line fails the run all the same.
TEST(FrontEnd, JournalThatCannotBeOpenedOrWritten) {
  std::string dir = make_temp_dir();
  const std::string no_port = "Inititialization of COM-port failed (Error:  2)\n";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string err;
  };
  const Case cases[] = {
      {{"--journal", dir + "/missing/j.jsonl"},
       {},
       "update: cannot open the journal " + dir + "/missing/j.jsonl: No such file or directory\n"},
      {{},
       {"UPDATE_JOURNAL=" + dir},
       "update: cannot open the journal " + dir + ": Is a directory\n"},
      // The option wins over the environment.
      {{"--journal=" + dir},
       {"UPDATE_JOURNAL=" + dir + "/fine.jsonl"},
       "update: cannot open the journal " + dir + ": Is a directory\n"},
      {{"--journal", "/dev/full"},
       {},
       no_port + "update: cannot write the journal /dev/full: No space left on device; "
                 "the attempt's record is lost\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {update_bin(), "-p", "999"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back(dir + "/none.pad");
    ProcResult r = run_process(argv, "", 60000, c.env);
    EXPECT_EQ(r.exit_code, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, kPause);
  }
  std::system(("rm -rf " + dir).c_str());
}

// Every program started with its standard descriptors closed opens the null
// device onto them first: otherwise the next socket, pipe or file would take
// the number, and output meant for the console (the server's request log,
// say) would go into it.
TEST(EveryProgram, StandardDescriptorsClosedAtStartGetTheNullDevice) {
  std::string dir = make_temp_dir();
  std::string file = padtool_create(dir, "box.pad", {"--format", "21", "--version", "23.0"});
  Pty line;
  const std::vector<std::string> programs[] = {
      {update_bin(), "-p", line.port(), file},
      {build_path("update-station"), "-p", line.port(), file},
      {build_path("update-server"), "--catalogue", dir, "--listen", "127.0.0.1:0"},
      {build_path("boxsim"), "--timeout", "20"},
      {build_path("netsim"), "server", "--port", "0", "--timeout", "20"},
  };
  for (const std::vector<std::string>& argv : programs) {
    SCOPED_TRACE(argv[0]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      setsid();
      for (int fd = 0; fd <= 2; fd++) close(fd);
      execv(args[0], args.data());
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    // What a number holds in the program, as the system names it.
    auto held = [pid](int fd) {
      char target[256] = "";
      std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      return n > 0 ? std::string(target, n) : std::string("(closed)");
    };
    for (int i = 0; i < 300 && held(2) != "/dev/null"; i++) usleep(10000);
    // Listening, a run started, a port open: whatever came after the start
    // has found its own number by now.
    usleep(200000);
    for (int fd = 0; fd <= 2; fd++) EXPECT_EQ(held(fd), "/dev/null") << fd;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; i++) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
