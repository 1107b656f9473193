#include "tools/netsim/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const Software* find_software(const Config& o, int ch, int maj, int min) {
  auto it = o.software.find(SoftKey(ch, maj, min));
  return it == o.software.end() ? nullptr : &it->second;
}

std::string key_text(int ch, int maj, int min) {
  return std::to_string(ch) + " " + std::to_string(maj) + "." + std::to_string(min);
}

// Sends the software, paced by --slow, and stops early when the peer speaks
// (a tool that refuses the size sends its goodbye at once) or goes away.
// Returns the count sent.
uint64_t send_software(const Config& o, Conn* c, const std::string& bytes, uint64_t size,
                       uint64_t stop_at) {
  uint64_t limit = std::min(size, stop_at);
  uint64_t sent = 0;
  long long start = now_ms();
  std::string chunk;
  while (sent < limit) {
    uint64_t allowed = limit;
    if (o.slow_bps > 0) {
      long long elapsed = now_ms() - start;
      allowed = std::min<uint64_t>(limit, static_cast<uint64_t>(elapsed) * o.slow_bps / 1000 + 1);
    }
    pollfd p = {c->fd, static_cast<short>(POLLIN | (allowed > sent ? POLLOUT : 0)), 0};
    int r = poll(&p, 1, allowed > sent ? c->run->timeout_ms : 10);
    if (r < 0 && errno != EINTR) break;
    if (r == 0 && allowed > sent) {
      c->run->timed_out = true;
      break;
    }
    if (p.revents & POLLIN) {
      if (fill(c)) note(c->run, "PEER SPOKE DURING SOFTWARE");
      break;
    }
    // A peer that went away may still have sent bytes (its goodbye): leave
    // the end of the connection to the reads, which get those first.
    if (p.revents & (POLLERR | POLLHUP)) break;
    if (!(p.revents & POLLOUT)) continue;
    size_t n = static_cast<size_t>(std::min<uint64_t>(allowed - sent, 65536));
    chunk.clear();
    for (size_t i = 0; i < n; ++i) {
      uint64_t at = sent + i;
      // Past the file (an announced size larger than it): a counting pattern.
      chunk.push_back(at < bytes.size() ? bytes[static_cast<size_t>(at)]
                                        : static_cast<char>(at & 0xff));
    }
    ssize_t w = send(c->fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    sent += static_cast<uint64_t>(w);
  }
  return sent;
}

// Reads the key of a `request` (channel, major, minor). Returns false
// after "<request> SHORT" in the summary when the peer stopped first.
bool get_key(Conn* c, const char* request, int* ch, int* maj, int* min) {
  std::string args;
  if (get_bytes(c, &args, 3) < 3) {
    note(c->run, std::string(request) + " SHORT");
    return false;
  }
  *ch = static_cast<uint8_t>(args[0]);
  *maj = static_cast<uint8_t>(args[1]);
  *min = static_cast<uint8_t>(args[2]);
  return true;
}

void server_query(const Config& o, Conn* c) {
  int ch, maj, min;
  if (!get_key(c, "QUERY", &ch, &maj, &min)) return;
  uint8_t answer[3] = {0, 0, 0};
  if (const Software* s = find_software(o, ch, maj, min)) {
    if (s->has_version) memcpy(answer, s->version, 3);
    else if (s->has_file) answer[0] = 1, answer[1] = 2, answer[2] = 3;
  }
  note(c->run, "QUERY " + key_text(ch, maj, min) + " -> " + std::to_string(answer[0]) + "." +
                   std::to_string(answer[1]) + "." + std::to_string(answer[2]));
  if (o.close_at == CloseAt::kQuery) {
    size_t k = o.close_count >= 0 ? static_cast<size_t>(o.close_count) : 0;
    return scripted_close(c, answer, 3, k, "QUERY");
  }
  put(c, answer, 3);
}

void server_size(const Config& o, Conn* c) {
  int ch, maj, min;
  if (!get_key(c, "SIZE", &ch, &maj, &min)) return;
  const Software* s = find_software(o, ch, maj, min);
  std::string empty;
  const std::string& bytes = s && s->has_file ? s->bytes : empty;
  uint64_t size = o.size_override >= 0 ? static_cast<uint64_t>(o.size_override) : bytes.size();
  uint32_t size32 = static_cast<uint32_t>(size);
  uint8_t be[4] = {static_cast<uint8_t>(size32 >> 24), static_cast<uint8_t>(size32 >> 16),
                   static_cast<uint8_t>(size32 >> 8), static_cast<uint8_t>(size32)};
  note(c->run, "SIZE " + key_text(ch, maj, min) + " -> " + std::to_string(size32));
  if (o.close_at == CloseAt::kSize) {
    // Default: the whole size, then nothing; size:K sends only K of its bytes.
    size_t k = o.close_count >= 0 ? static_cast<size_t>(o.close_count) : 4;
    return scripted_close(c, be, 4, k, "SIZE");
  }
  if (!put(c, be, 4) || size32 == 0) return;
  uint64_t stop = o.close_at == CloseAt::kSoftware && o.close_count >= 0
                      ? static_cast<uint64_t>(o.close_count)
                      : UINT64_MAX;
  uint64_t sent = send_software(o, c, bytes, size32, stop);
  note(c->run, "SOFTWARE " + std::to_string(sent) + " of " + std::to_string(size32) + " bytes");
  if (o.close_at == CloseAt::kSoftware && sent == stop) {
    note(c->run, "CLOSE AT SOFTWARE");
    hang_up(c);
  }
}

}  // namespace

void serve_server(const Config& o, Conn* c) {
  uint8_t cmd;
  while (!c->closed && get_byte(c, &cmd)) {
    switch (cmd) {
      case 'B':
        note(c->run, "GREETING");
        if (o.close_at == CloseAt::kGreeting) scripted_close(c, nullptr, 0, 0, "GREETING");
        else put_byte(c, o.greeting_reply);
        break;
      case 'C': server_query(o, c); break;
      case 'D': server_size(o, c); break;
      case 'Z': note(c->run, "GOODBYE"); break;
      default: note(c->run, "UNKNOWN " + hex_byte(cmd)); break;
    }
  }
}
