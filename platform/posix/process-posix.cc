#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/error.h"

namespace {

void close_fd(intptr_t* fd) {
  if (*fd >= 0) close((int)*fd);
  *fd = -1;
}

bool executable_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool find_program(const std::string& program) {
  if (program.find('/') != std::string::npos) return executable_file(program);
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/bin:/usr/bin";
  size_t start = 0;
  for (;;) {
    size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
    if (executable_file((dir.empty() ? "." : dir) + "/" + program)) return true;
    if (colon == std::string::npos) return false;
    start = colon + 1;
  }
}

}  // namespace

static bool start_child(const std::vector<std::string>& argv, PlatChannel* ch, PlatProcess* p) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return false;
  // The child reports a failed exec through this pipe, so that a missing
  // program is a start failure and not an exit code of 127.
  int report[2], err_pipe[2];
  if (pipe(report) != 0) {
    close(null_fd);
    return false;
  }
  if (pipe(err_pipe) != 0) {
    close(null_fd);
    close(report[0]);
    close(report[1]);
    return false;
  }
  for (int fd : {report[0], report[1], err_pipe[0], err_pipe[1]}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(err_pipe[0], F_SETFL, fcntl(err_pipe[0], F_GETFL) | O_NONBLOCK);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {null_fd, report[0], report[1], err_pipe[0], err_pipe[1]}) close(fd);
    return false;
  }
  if (pid == 0) {
#ifdef __linux__
    // A station that dies, however it dies, takes its runs with it: they
    // stop as on a kill, with their records written and ports put back.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    // The parent may have died before the request above was made.
    if (getppid() != parent) _exit(1);
    setpgid(0, 0);
    // The parent's handlers and ignored signals must not reach the child.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1}) signal(sig, SIG_DFL);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(err_pipe[1], 2);
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
  close(err_pipe[1]);
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
  *p = PlatProcess();
  p->id = pid;
  p->err_read = p->err_wait = err_pipe[0];
  if (got == (ssize_t)sizeof err) {
    waitpid(pid, nullptr, 0);
    p->ended = true;
    close_fd(&p->err_read);
    p->err_wait = -1;
    errno = err;
    return false;
  }
  return true;
}

// The reason a start failed is left where the platform's callers look.
bool plat_process_start(const std::vector<std::string>& argv, PlatChannel* ch, PlatProcess* p) {
  if (start_child(argv, ch, p)) return true;
  plat_set_last_error((uint32_t)errno);
  return false;
}

void plat_process_stop(PlatProcess* p, bool hard) {
  if (p->id <= 0 || p->ended) return;
  if (hard) p->killed = true;
  kill(-(pid_t)p->id, hard ? SIGKILL : SIGUSR1);
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

long plat_process_read_err(PlatProcess* p, char* buf, size_t n) {
  if (p->err_read < 0) return -1;
  ssize_t got = read((int)p->err_read, buf, n);
  if (got > 0) return (long)got;
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  p->err_wait = -1;
  return -1;
}

void plat_process_release(PlatProcess* p) {
  close_fd(&p->err_read);
  p->err_wait = -1;
}

bool plat_wait_any(const std::vector<intptr_t>& handles, int timeout_ms) {
  std::vector<pollfd> fds;
  for (intptr_t h : handles)
    if (h >= 0) fds.push_back({(int)h, POLLIN, 0});
  int r = poll(fds.data(), fds.size(), timeout_ms);
  return r > 0;
}

void plat_wait_handle_drain(intptr_t h) {
  if (h < 0) return;
  char buf[64];
  while (read((int)h, buf, sizeof buf) > 0) {}
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

bool plat_program_runnable(const std::string& program) {
  errno = 0;
  bool ok = find_program(program);
  if (!ok) plat_set_last_error((uint32_t)(errno ? errno : ENOENT));
  return ok;
}

bool plat_wake_open(PlatWake* w) {
  int fds[2];
  if (pipe(fds) != 0) {
    plat_set_last_error((uint32_t)errno);
    return false;
  }
  for (int fd : fds) {
    int flags = fcntl(fd, F_GETFL);
    // A blocking end would hang the setter on a full pipe, or the drain.
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || flags < 0 ||
        fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
      int e = errno;
      close(fds[0]);
      close(fds[1]);
      errno = e;
      plat_set_last_error((uint32_t)e);
      return false;
    }
  }
  w->wait_handle = fds[0];
  w->set_end = fds[1];
  return true;
}

void plat_wake_close(PlatWake* w) {
  if (w->wait_handle >= 0) close((int)w->wait_handle);
  if (w->set_end >= 0) close((int)w->set_end);
  w->wait_handle = w->set_end = -1;
}

void plat_wake_set(const PlatWake* w) {
  // A full pipe already wakes the waiter: the byte may be dropped.
  char b = 1;
  if (w->set_end >= 0 && write((int)w->set_end, &b, 1) < 0) {}
}
