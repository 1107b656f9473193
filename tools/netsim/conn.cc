#include "tools/netsim/conn.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

void note(Run* run, const std::string& line) { run->summary.push_back(line); }

std::string hex_byte(int b) {
  char buf[8];
  snprintf(buf, sizeof buf, "0x%02x", b & 0xff);
  return buf;
}

namespace {

void record(Conn* c, const char* data, size_t n) {
  if (c->run->record_fd < 0) return;
  while (n > 0) {
    ssize_t w = write(c->run->record_fd, data, n);
    if (w <= 0) return;
    data += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

bool fill(Conn* c) {
  if (c->closed) return false;
  pollfd p = {c->fd, POLLIN, 0};
  int r = poll(&p, 1, c->run->timeout_ms);
  if (r == 0) {
    c->run->timed_out = true;
    c->closed = true;
    return false;
  }
  if (r < 0) {
    c->closed = true;
    return false;
  }
  char buf[65536];
  ssize_t n = recv(c->fd, buf, sizeof buf, 0);
  if (n <= 0) {
    c->closed = true;
    return false;
  }
  record(c, buf, static_cast<size_t>(n));
  c->pending.append(buf, static_cast<size_t>(n));
  return true;
}

bool get_byte(Conn* c, uint8_t* b) {
  while (c->pending.empty())
    if (!fill(c)) return false;
  *b = static_cast<uint8_t>(c->pending[0]);
  c->pending.erase(0, 1);
  return true;
}

size_t get_bytes(Conn* c, std::string* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    if (c->pending.empty() && !fill(c)) break;
    size_t take = std::min(n - got, c->pending.size());
    if (out) out->append(c->pending, 0, take);
    c->pending.erase(0, take);
    got += take;
  }
  return got;
}

bool put(Conn* c, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = send(c->fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return false;  // the reads find the end, after what the peer sent
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool put_byte(Conn* c, int b) {
  uint8_t v = static_cast<uint8_t>(b);
  return put(c, &v, 1);
}

void hang_up(Conn* c) {
  // Drain what the peer already sent so the record is complete, then close.
  shutdown(c->fd, SHUT_WR);
  c->closed = true;
}

void scripted_close(Conn* c, const void* answer, size_t n, size_t count, const char* where) {
  put(c, answer, std::min(count, n));
  note(c->run, std::string("CLOSE AT ") + where);
  hang_up(c);
}

void reset(Conn* c) {
  linger l = {1, 0};
  setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(c->fd);
  c->fd = -1;
  c->closed = true;
}
