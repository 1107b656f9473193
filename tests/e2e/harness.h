// Running the built programs as processes, for the end-to-end tests.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct ProcResult {
  int exit_code = -1;  // -1 when killed or not started
  std::string out;
  std::string err;
  bool timed_out = false;
};

// Runs argv (argv[0] is a path), writes `input` to its standard input and
// closes it, collects both output streams. Kills it after `timeout_ms`.
// `env` entries ("NAME=value") are added to the environment.
ProcResult run_process(const std::vector<std::string>& argv, const std::string& input = "",
                       int timeout_ms = 60000, const std::vector<std::string>& env = {},
                       const std::string& cwd = "");

// A process running in the background with its standard output read line by
// line and its standard error kept.
struct BgProcess {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
  int in_fd = -1;   // standard input, when kept open
  std::string out;  // everything read so far from standard output
  std::string err;
};

// With `keep_stdin` the process's standard input stays open in p->in_fd
// (close it to send end of input); otherwise it is closed at once.
bool start_process(BgProcess* p, const std::vector<std::string>& argv, bool keep_stdin = false);

// Reads standard output until a line starting with `prefix` arrives; returns
// that line (without its line end), or "" after `timeout_ms`.
std::string wait_for_line(BgProcess* p, const std::string& prefix, int timeout_ms = 10000);

// The same for a line on standard error.
std::string wait_for_err_line(BgProcess* p, const std::string& prefix, int timeout_ms = 10000);

// Starts a boxsim with `args` (a 60 s time limit before them) as the last of
// `boxes`; returns its pty path, or "" when it said none.
std::string start_pty_box(std::vector<BgProcess>* boxes, const std::vector<std::string>& args);

// Waits for the process to end (killing it after `timeout_ms`); returns its
// exit code, -1 when it had to be killed. Drains both streams into p.
int wait_process(BgProcess* p, int timeout_ms = 30000);

void kill_process(BgProcess* p);

// Asks the process to end (SIGTERM) and waits `grace_ms` before killing it:
// for a station, whose runs write their records while it waits for them.
void stop_process(BgProcess* p, int grace_ms = 10000);

// Paths of the build: the tool, a companion program, the source tree.
std::string update_bin();
std::string build_path(const std::string& name);
std::string source_path(const std::string& name);

// A fresh temporary directory, removed by the caller (or left for reading).
std::string make_temp_dir();

// Makes a PAD file at `path` with the build's padtool ("create" and its
// options); returns padtool's exit code.
int make_pad(const std::string& path, const std::vector<std::string>& options);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
