#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
  std::vector<char*> v;
  for (const std::string& a : argv) v.push_back(const_cast<char*>(a.c_str()));
  v.push_back(nullptr);
  return v;
}

// Forks argv with stdin, stdout and stderr on pipes. Returns the pid.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& cwd, int* in_w, int* out_r, int* err_r) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return -1;
  std::vector<char*> args = c_argv(argv);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    // Detach from the controlling terminal so nothing under test can
    // reach the console or hang on it.
    setsid();
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  *in_w = in[1];
  *out_r = out[0];
  *err_r = err[0];
  return pid;
}

// Reads whatever is there on fd into s; returns false at end of file.
bool drain(int fd, std::string* s) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    s->append(buf, n);
    return true;
  }
  return n < 0 && (errno == EAGAIN || errno == EINTR);
}

}  // namespace

ProcResult run_process(const std::vector<std::string>& argv, const std::string& input,
                       int timeout_ms, const std::vector<std::string>& env,
                       const std::string& cwd) {
  signal(SIGPIPE, SIG_IGN);
  ProcResult r;
  int in_w, out_r, err_r;
  pid_t pid = spawn(argv, env, cwd, &in_w, &out_r, &err_r);
  if (pid < 0) return r;
  size_t written = 0;
  if (input.empty()) {
    close(in_w);
    in_w = -1;
  } else {
    fcntl(in_w, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  long deadline = now_ms() + timeout_ms;
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_r, POLLIN, 0};
    if (err_open) fds[n++] = {err_r, POLLIN, 0};
    if (in_w >= 0) fds[n++] = {in_w, POLLOUT, 0};
    long left = deadline - now_ms();
    if (left <= 0) {
      kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    poll(fds, n, (int)(left > 200 ? 200 : left));
    for (int i = 0; i < n; i++) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == out_r && !drain(out_r, &r.out)) out_open = false;
      if (fds[i].fd == err_r && !drain(err_r, &r.err)) err_open = false;
      if (fds[i].fd == in_w) {
        ssize_t w = write(in_w, input.data() + written, input.size() - written);
        if (w > 0) written += w;
        if (w < 0 && errno != EAGAIN) written = input.size();
        if (written >= input.size()) {
          close(in_w);
          in_w = -1;
        }
      }
    }
  }
  if (in_w >= 0) close(in_w);
  close(out_r);
  close(err_r);
  int status = 0;
  waitpid(pid, &status, 0);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool start_process(BgProcess* p, const std::vector<std::string>& argv, bool keep_stdin) {
  signal(SIGPIPE, SIG_IGN);
  int in_w;
  p->pid = spawn(argv, {}, "", &in_w, &p->out_fd, &p->err_fd);
  if (p->pid < 0) return false;
  if (keep_stdin) p->in_fd = in_w;
  else close(in_w);
  fcntl(p->out_fd, F_SETFL, O_NONBLOCK);
  fcntl(p->err_fd, F_SETFL, O_NONBLOCK);
  return true;
}

namespace {

std::string wait_for(BgProcess* p, std::string BgProcess::*stream, const std::string& prefix,
                     int timeout_ms) {
  long deadline = now_ms() + timeout_ms;
  size_t scanned = 0;
  std::string& text = p->*stream;
  int fd = stream == &BgProcess::out ? p->out_fd : p->err_fd;
  for (;;) {
    size_t eol;
    while ((eol = text.find('\n', scanned)) != std::string::npos) {
      std::string line = text.substr(scanned, eol - scanned);
      scanned = eol + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, prefix.size(), prefix) == 0) return line;
    }
    long left = deadline - now_ms();
    if (left <= 0) return "";
    pollfd fds[2] = {{p->out_fd, POLLIN, 0}, {p->err_fd, POLLIN, 0}};
    poll(fds, 2, (int)(left > 200 ? 200 : left));
    bool out_alive = drain(p->out_fd, &p->out);
    bool err_alive = drain(p->err_fd, &p->err);
    bool alive = fd == p->out_fd ? out_alive : err_alive;
    if (!alive && text.find('\n', scanned) == std::string::npos) return "";
  }
}

}  // namespace

std::string wait_for_line(BgProcess* p, const std::string& prefix, int timeout_ms) {
  return wait_for(p, &BgProcess::out, prefix, timeout_ms);
}

std::string start_pty_box(std::vector<BgProcess>* boxes, const std::vector<std::string>& args) {
  boxes->emplace_back();
  std::vector<std::string> argv = {build_path("boxsim"), "--timeout", "60"};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!start_process(&boxes->back(), argv)) return "";
  std::string line = wait_for_line(&boxes->back(), "PTY ", 10000);
  return line.empty() ? "" : line.substr(4);
}

std::string wait_for_err_line(BgProcess* p, const std::string& prefix, int timeout_ms) {
  return wait_for(p, &BgProcess::err, prefix, timeout_ms);
}

int wait_process(BgProcess* p, int timeout_ms) {
  if (p->pid < 0) return -1;
  long deadline = now_ms() + timeout_ms;
  int status = 0;
  bool killed = false;
  for (;;) {
    pollfd fds[2] = {{p->out_fd, POLLIN, 0}, {p->err_fd, POLLIN, 0}};
    poll(fds, 2, 50);
    drain(p->out_fd, &p->out);
    drain(p->err_fd, &p->err);
    pid_t w = waitpid(p->pid, &status, WNOHANG);
    if (w == p->pid) break;
    if (now_ms() > deadline && !killed) {
      kill(p->pid, SIGKILL);
      killed = true;
    }
  }
  while (drain(p->out_fd, &p->out)) {}
  while (drain(p->err_fd, &p->err)) {}
  close(p->out_fd);
  close(p->err_fd);
  if (p->in_fd >= 0) close(p->in_fd);
  p->in_fd = -1;
  p->pid = -1;
  if (killed || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void kill_process(BgProcess* p) {
  if (p->pid < 0) return;
  kill(p->pid, SIGKILL);
  wait_process(p, 5000);
}

void stop_process(BgProcess* p, int grace_ms) {
  if (p->pid < 0) return;
  kill(p->pid, SIGTERM);
  wait_process(p, grace_ms);
}

// Absolute, so a test may run a program in another working directory.
static std::string env_or(const char* name, const char* fallback) {
  const char* v = getenv(name);
  std::string path = v ? v : fallback;
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string abs = real;
  free(real);
  return abs;
}

#ifndef UPDATE_DEFAULT_BUILD_DIR
#define UPDATE_DEFAULT_BUILD_DIR "build"
#endif
#ifndef UPDATE_DEFAULT_SOURCE_DIR
#define UPDATE_DEFAULT_SOURCE_DIR "."
#endif

std::string build_path(const std::string& name) {
  return env_or("UPDATE_BUILD_DIR", UPDATE_DEFAULT_BUILD_DIR) + "/" + name;
}

std::string update_bin() {
  const char* bin = getenv("UPDATE_BIN");
  return bin ? env_or("UPDATE_BIN", bin) : build_path("update");
}

std::string source_path(const std::string& name) {
  return env_or("UPDATE_SOURCE_DIR", UPDATE_DEFAULT_SOURCE_DIR) + "/" + name;
}

std::string make_temp_dir() {
  char tmpl[] = "/tmp/update-e2e-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "/tmp";
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(data.data(), data.size());
}

int make_pad(const std::string& path, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {build_path("padtool"), "create", path};
  argv.insert(argv.end(), options.begin(), options.end());
  return run_process(argv).exit_code;
}
