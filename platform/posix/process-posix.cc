#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/stop.h"

bool plat_channel_open(PlatChannel* ch) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  // Neither end may leak into the other children: each child gets only its
  // own write end, re-opened for it after the fork.
  for (int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  ch->read_end = fds[0];
  ch->wait_handle = fds[0];
  ch->child_end = fds[1];
  ch->path = "/dev/fd/" + std::to_string(fds[1]);
  return true;
}

long plat_channel_read(PlatChannel* ch, char* buf, size_t n) {
  if (ch->read_end < 0) return -1;
  ssize_t got = read((int)ch->read_end, buf, n);
  if (got > 0) return (long)got;
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;
}

void plat_channel_close(PlatChannel* ch) {
  if (ch->read_end >= 0) close((int)ch->read_end);
  if (ch->child_end >= 0) close((int)ch->child_end);
  ch->read_end = ch->child_end = ch->wait_handle = -1;
}

bool plat_process_start(const std::vector<std::string>& argv, PlatChannel* ch, PlatProcess* p) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return false;
  // The child reports a failed exec through this pipe, so that a missing
  // program is a start failure and not an exit code of 127.
  int report[2];
  if (pipe(report) != 0) {
    close(null_fd);
    return false;
  }
  fcntl(report[0], F_SETFD, FD_CLOEXEC);
  fcntl(report[1], F_SETFD, FD_CLOEXEC);
  pid_t pid = fork();
  if (pid < 0) {
    close(null_fd);
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (pid == 0) {
    setpgid(0, 0);
    // The parent's handlers must not run in the child before exec.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (ch && ch->child_end >= 0) fcntl((int)ch->child_end, F_SETFD, 0);
    execvp(args[0], args.data());
    int err = errno;
    ssize_t ignored = write(report[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  setpgid(pid, pid);  // whichever of the two runs first
  close(null_fd);
  close(report[1]);
  int err = 0;
  ssize_t got;
  do {
    got = read(report[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (ch && ch->child_end >= 0) {
    close((int)ch->child_end);
    ch->child_end = -1;
  }
  p->id = pid;
  p->wait_handle = -1;
  p->ended = false;
  p->exit_code = -1;
  if (got == (ssize_t)sizeof err) {
    waitpid(pid, nullptr, 0);
    p->ended = true;
    errno = err;
    return false;
  }
  return true;
}

void plat_process_stop(PlatProcess* p, bool hard) {
  if (p->id <= 0 || p->ended) return;
  kill(-(pid_t)p->id, hard ? SIGKILL : SIGTERM);
}

bool plat_process_poll(PlatProcess* p) {
  if (p->ended) return true;
  if (p->id <= 0) return false;
  int status = 0;
  pid_t r = waitpid((pid_t)p->id, &status, WNOHANG);
  if (r != (pid_t)p->id) return false;
  p->ended = true;
  p->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool plat_wait_any(const std::vector<intptr_t>& handles, int timeout_ms) {
  std::vector<pollfd> fds;
  for (intptr_t h : handles)
    if (h >= 0) fds.push_back({(int)h, POLLIN, 0});
  int r = poll(fds.data(), fds.size(), timeout_ms);
  return r > 0;
}

std::string plat_program_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, n);
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

const char* plat_executable_suffix() { return ""; }

bool plat_file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool plat_stdout_is_vt() {
  if (!isatty(1)) return false;
  const char* term = getenv("TERM");
  return !(term && std::string(term) == "dumb");
}

int plat_terminal_columns() {
  winsize ws;
  if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// The pipe's write end closes with the child, so its end of file comes by
// itself.
void plat_channel_writer_ended(PlatChannel*) {}

bool plat_wake_open(PlatWake* w) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  for (int fd : fds) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  w->wait_handle = fds[0];
  w->set_end = fds[1];
  return true;
}

void plat_wake_set(const PlatWake* w) {
  // A full pipe already wakes the waiter: the byte may be dropped.
  char b = 1;
  if (w->set_end >= 0 && write((int)w->set_end, &b, 1) < 0) {
  }
}

void plat_wait_handle_drain(intptr_t h) {
  if (h < 0) return;
  char buf[64];
  while (read((int)h, buf, sizeof buf) > 0) {
  }
}
