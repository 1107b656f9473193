#include "server/request_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <asio.hpp>
#include <deque>
#include <map>
#include <cstdio>
#include <cstring>

#include "core/json_text.h"

namespace {

// Lines waiting for the sink, at most this many bytes: a reader that falls
// this far behind loses lines rather than holding up the server.
constexpr size_t kQueueLimit = 1 << 20;
// Lines handed to the sink in one call: more than a pipe holds, so that a
// reader that falls behind costs few calls.
constexpr int kBatch = 512;

enum class Sink { kFile, kSocket, kOther };

}  // namespace

struct RequestLog {
  int fd = 1;
  std::string path;  // empty: standard output
  Sink sink = Sink::kOther;
  std::deque<std::string> queue;
  size_t queued = 0;     // bytes in `queue`
  size_t written = 0;    // of the first line, already with the sink
  uint64_t dropped = 0;  // since the last line that said so
  asio::io_context* io = nullptr;
  std::unique_ptr<asio::posix::stream_descriptor> ready;  // the sink, when it can be waited on
  std::unique_ptr<asio::steady_timer> retry;              // after an error of the sink
  bool waiting = false;
  unsigned generation = 0;  // of the watcher; a cancelled wait's callback is stale
};

namespace {

void add(std::string* s, const char* key, int64_t value) {
  *s += ",\"";
  *s += key;
  *s += "\":";
  *s += value < 0 ? "null" : std::to_string(value);
}

void add(std::string* s, const char* key, const std::string& text) {
  *s += ",\"";
  *s += key;
  *s += "\":";
  *s += text.empty() ? "null" : json_string(text.c_str());
}

// The descriptor the log writes to: non-blocking without touching the
// descriptor the server was given, which it may share with its parent (a
// terminal, a shell's pipe). A pipe or terminal is opened anew for a
// description of its own; a socket is written with MSG_DONTWAIT; a file
// blocks only as long as its disk does.
int own_sink(int fd, Sink* sink) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    *sink = Sink::kFile;
    return fd;
  }
  if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) {
    *sink = Sink::kSocket;
    return fd;
  }
  *sink = Sink::kOther;
  char via[64];
  std::snprintf(via, sizeof via, "/proc/self/fd/%d", fd);
  int own = open(via, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (own >= 0) return own;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void unwatch(RequestLog* L);

void watch(RequestLog* L) {
  unwatch(L);
  if (L->io == nullptr || L->sink == Sink::kFile) return;
  // Borrowed: released before the watcher goes, never closed by it.
  auto d = std::make_unique<asio::posix::stream_descriptor>(*L->io);
  asio::error_code ec;
  d->assign(L->fd, ec);
  if (ec) {
    d->release();
    return;
  }
  L->ready.reset(d.release());
}

void unwatch(RequestLog* L) {
  ++L->generation;
  if (L->ready) {
    L->ready->cancel();
    L->ready->release();
  }
  L->ready.reset();
  L->waiting = false;
}

void flush(RequestLog* L);

// Tries again in a second: a full disk or a reader gone away.
void retry_later(RequestLog* L) {
  if (L->io == nullptr || L->waiting) return;
  if (!L->retry) L->retry = std::make_unique<asio::steady_timer>(*L->io);
  L->waiting = true;
  L->retry->expires_after(std::chrono::seconds(1));
  L->retry->async_wait([L](const asio::error_code& ec) {
    L->waiting = false;
    if (!ec) flush(L);
  });
}

// Writes as much of the queue as the sink takes now. A line the sink took
// only in part is finished before any other; a file's short write (a full
// disk) is cut back off, so the line goes again whole.
void flush(RequestLog* L) {
  while (!L->queue.empty() && !L->waiting) {
    iovec v[kBatch];
    int n = 0;
    for (auto it = L->queue.begin(); it != L->queue.end() && n < kBatch; ++it, ++n) {
      size_t skip = n == 0 ? L->written : 0;
      v[n] = {const_cast<char*>(it->data()) + skip, it->size() - skip};
    }
    ssize_t put;
    if (L->sink == Sink::kSocket) {
      msghdr m{};
      m.msg_iov = v;
      m.msg_iovlen = static_cast<size_t>(n);
      put = sendmsg(L->fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      put = writev(L->fd, v, n);
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && L->ready) {
      L->waiting = true;
      L->ready->async_wait(asio::posix::stream_descriptor::wait_write,
                           [L, gen = L->generation](const asio::error_code& ec) {
                             if (gen != L->generation) return;
                             L->waiting = false;
                             if (!ec) flush(L);
                           });
      return;
    }
    if (put <= 0) {
      retry_later(L);
      return;
    }
    size_t left = static_cast<size_t>(put);
    while (left > 0 && left >= L->queue.front().size() - L->written) {
      left -= L->queue.front().size() - L->written;
      L->queued -= L->queue.front().size();
      L->queue.pop_front();
      L->written = 0;
    }
    if (left == 0) continue;
    if (L->sink == Sink::kFile) {
      off_t end = lseek(L->fd, 0, SEEK_END);
      if (end >= static_cast<off_t>(left) && ftruncate(L->fd, end - left) == 0) {
        retry_later(L);
        return;
      }
    }
    L->written += left;
  }
}

void enqueue(RequestLog* L, std::string line) {
  L->queued += line.size();
  L->queue.push_back(std::move(line));
}

}  // namespace

RequestLog* log_open(const char* path) {
  int fd = 1;
  std::string keep;
  if (path != nullptr && std::strcmp(path, "-") != 0) {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
      std::fprintf(stderr, "update-server: cannot open the log %s: %s\n", path,
                   std::strerror(errno));
      return nullptr;
    }
    keep = path;
  }
  auto L = new RequestLog;
  L->path = keep;
  L->fd = own_sink(fd, &L->sink);
  if (L->fd != fd && fd != 1) close(fd);
  watch(L);
  return L;
}

void log_close(RequestLog* L) {
  if (L == nullptr) return;
  unwatch(L);
  if (L->fd > 2) close(L->fd);
  delete L;
}

bool log_reopen(RequestLog* L) {
  if (L->path.empty()) return true;
  int fd = open(L->path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    std::fprintf(stderr, "update-server: cannot reopen the log %s: %s; writing on to the old one\n",
                 L->path.c_str(), std::strerror(errno));
    return false;
  }
  // A line begun in the old file is finished there first.
  while (L->written > 0 && !L->queue.empty()) {
    const std::string& line = L->queue.front();
    ssize_t n = write(L->fd, line.data() + L->written, line.size() - L->written);
    if (n <= 0) break;
    L->written += static_cast<size_t>(n);
    if (L->written == line.size()) {
      L->queued -= line.size();
      L->queue.pop_front();
      L->written = 0;
    }
  }
  L->written = 0;
  unwatch(L);
  close(L->fd);
  L->fd = own_sink(fd, &L->sink);
  if (L->fd != fd) close(fd);
  watch(L);
  flush(L);
  return true;
}

void log_attach(RequestLog* L, asio::io_context& io) {
  L->io = &io;
  watch(L);
  flush(L);
}

void log_detach(RequestLog* L) {
  unwatch(L);
  L->retry.reset();
  L->io = nullptr;
  // The last lines of a stop get a little while, not forever.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!L->queue.empty() && std::chrono::steady_clock::now() < until) {
    L->waiting = false;
    flush(L);
    if (L->queue.empty()) break;
    pollfd p = {L->fd, POLLOUT, 0};
    if (poll(&p, 1, 100) < 0 && errno != EINTR) break;
  }
}

std::string exchange_line(const Exchange& e, const std::string& time) {
  std::string s = "{\"time\":" + json_string(time.c_str());
  add(&s, "peer", e.peer);
  add(&s, "command", std::string(e.command));
  const char* name = channel_name(e.channel);
  add(&s, "channel", std::string(name ? name : ""));
  add(&s, "channel_code", e.channel);
  std::string boot;
  if (e.major >= 0) boot = std::to_string(e.major) + "." + std::to_string(e.minor);
  add(&s, "bootloader", boot);
  add(&s, "version", e.version);
  add(&s, "file", e.file);
  add(&s, "size", e.size);
  add(&s, "bytes_sent", static_cast<int64_t>(e.bytes_sent));
  char secs[32];
  std::snprintf(secs, sizeof secs, ",\"seconds\":%.3f", e.seconds);
  s += secs;
  add(&s, "result", std::string(e.result));
  add(&s, "reason", e.reason);
  if (!e.station.empty() || !e.attempt.empty()) {
    add(&s, "station", e.station);
    add(&s, "attempt", e.attempt);
  }
  if (!e.sha256.empty()) add(&s, "sha256", e.sha256);
  return s + "}\n";
}

namespace {

// Queues one line, after a line that counts those dropped before it.
void log_line(RequestLog* L, std::string line, const std::string& time) {
  std::string report;
  if (L->dropped > 0) {
    Exchange r;
    r.command = "log";
    r.result = "failed";
    r.reason = std::to_string(L->dropped) +
               " lines dropped before this one: the log took them slower than they came";
    report = exchange_line(r, time);
  }
  if (L->queued + report.size() + line.size() > kQueueLimit) {
    ++L->dropped;
    return;
  }
  if (!report.empty()) enqueue(L, std::move(report));
  L->dropped = 0;
  enqueue(L, std::move(line));
  flush(L);
}

std::string change_line(const char* change, uint32_t key, const std::string& folder,
                        const Software& sw, const std::string& time) {
  std::string s = "{\"time\":" + json_string(time.c_str());
  add(&s, "command", std::string("catalogue"));
  add(&s, "change", std::string(change));
  int channel = static_cast<int>(key >> 16);
  add(&s, "channel", std::string(channel_name(channel)));
  add(&s, "channel_code", channel);
  add(&s, "bootloader", folder);
  add(&s, "version", version_text(sw.version));
  add(&s, "file", sw.path);
  add(&s, "size", static_cast<int64_t>(sw.size));
  add(&s, "sha256", sw.sha256);
  add(&s, "key", sw.signer.empty() ? std::string("unsigned") : sw.signer);
  return s + "}\n";
}

}  // namespace

void log_catalogue_changes(RequestLog* L, const Catalogue* before, const Catalogue& now) {
  std::string time = utc_now_text();
  auto software_of = [](const Catalogue* c, uint32_t key) -> const Software* {
    if (!c) return nullptr;
    auto it = c->entries.find(key);
    return it == c->entries.end() ? nullptr : it->second.software;
  };
  std::map<uint32_t, std::string> keys;
  if (before)
    for (const auto& [key, e] : before->entries) keys[key] = e.folder;
  for (const auto& [key, e] : now.entries) keys[key] = e.folder;
  for (const auto& [key, folder] : keys) {
    const Software* was = software_of(before, key);
    const Software* is = software_of(&now, key);
    if (!was && is) log_line(L, change_line("added", key, folder, *is, time), time);
    else if (was && !is) log_line(L, change_line("removed", key, folder, *was, time), time);
    else if (was && is &&
             (was->sha256 != is->sha256 || was->path != is->path || was->signer != is->signer))
      log_line(L, change_line("replaced", key, folder, *is, time), time);
  }
}

void log_exchange(RequestLog* L, const Exchange& e) {
  std::string time = utc_now_text();
  log_line(L, exchange_line(e, time), time);
}
