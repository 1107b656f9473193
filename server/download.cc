#include "server/download.h"

#include <unistd.h>

#include <memory>

#include "server/connection.h"

namespace {

// Larger chunks buy little on loopback and cost memory per download.
constexpr size_t kChunk = 65536;

bool same_state(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

// Read from the handle the catalogue checked, in chunks. The last chunk
// goes out only when the file is still the one checked, so a file
// rewritten in place never reaches a box whole.
asio::awaitable<void> download(State* s, Connection* c, const Software* sw, Exchange* x) {
  uint8_t head[4] = {
      static_cast<uint8_t>(sw ? sw->size >> 24 : 0), static_cast<uint8_t>(sw ? sw->size >> 16 : 0),
      static_cast<uint8_t>(sw ? sw->size >> 8 : 0), static_cast<uint8_t>(sw ? sw->size : 0)};
  uint64_t head_sent = 0;
  if (sw == nullptr) {
    std::array<asio::const_buffer, 2> b = {asio::buffer(head), asio::const_buffer()};
    asio::error_code ec = co_await send_all(s, c, b, &head_sent);
    x->result = ec ? "failed" : "none";
    if (ec) x->reason = reason_of(c, ec);
    co_return;
  }
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
  uint32_t offset = 0;
  bool first = true;
  while (offset < sw->size) {
    size_t n = std::min<size_t>(kChunk, sw->size - offset);
    ssize_t got = pread(sw->fd, chunk.get(), n, offset);
    if (got != static_cast<ssize_t>(n)) {
      x->result = "failed";
      x->reason = "the file shrank on disk since it was checked";
      co_return;
    }
    if (offset + n == sw->size) {
      struct stat now;
      if (fstat(sw->fd, &now) != 0 || !same_state(now, sw->seen)) {
        x->result = "failed";
        x->reason = "the file was rewritten in place since it was checked; not sent whole";
        co_return;
      }
    }
    // The size and the first chunk in one send: no small segment held back.
    std::array<asio::const_buffer, 2> b = {first ? asio::buffer(head) : asio::const_buffer(),
                                           asio::buffer(chunk.get(), n)};
    uint64_t sent = 0;
    asio::error_code ec = co_await send_all(s, c, b, &sent);
    x->bytes_sent += first ? (sent > 4 ? sent - 4 : 0) : sent;
    first = false;
    if (ec) {
      x->result = "failed";
      x->reason = reason_of(c, ec);
      co_return;
    }
    offset += static_cast<uint32_t>(n);
  }
  x->result = "ok";
}
