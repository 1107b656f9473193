#include "journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "record.h"

namespace {

constexpr size_t kChunk = 1 << 20;

}  // namespace

JournalRead journal_read(std::FILE* f, uint64_t start, LineSink sink, void* ctx) {
  JournalRead out;
  out.end = start;
  // Lines longer than the buffer grow it; the padding stays readable
  // behind whatever is in it.
  std::vector<char> buf(kChunk + kLinePadding);
  size_t have = 0;
  uint64_t base = start;  // file offset of buf[0]
  for (;;) {
    if (have == buf.size() - kLinePadding) buf.resize(buf.size() * 2);
    size_t room = buf.size() - kLinePadding - have;
    size_t n = std::fread(buf.data() + have, 1, room, f);
    if (n == 0) {
      if (std::ferror(f)) {
        out.error = errno ? errno : EIO;
        return out;
      }
      break;
    }
    size_t end = have + n;
    size_t pos = 0;
    for (;;) {
      const char* nl = static_cast<const char*>(std::memchr(buf.data() + pos, '\n', end - pos));
      if (!nl) break;
      size_t len = static_cast<size_t>(nl - (buf.data() + pos));
      std::string_view line(buf.data() + pos, len);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!line.empty()) sink(ctx, line, true);
      pos += len + 1;
      out.end = base + pos;
    }
    std::memmove(buf.data(), buf.data() + pos, end - pos);
    have = end - pos;
    base += pos;
  }
  if (have) {
    std::memset(buf.data() + have, 0, kLinePadding);
    std::string_view line(buf.data(), have);
    if (line.back() == '\r') line.remove_suffix(1);
    sink(ctx, line, false);
  }
  return out;
}

bool journal_expand(const std::vector<std::string>& args, std::vector<std::string>* out,
                    std::string* bad) {
  namespace fs = std::filesystem;
  for (const std::string& a : args) {
    std::error_code ec;
    if (a != "-" && fs::is_directory(a, ec)) {
      std::vector<std::string> found;
      for (fs::directory_iterator it(a, ec), e; !ec && it != e; it.increment(ec))
        if (it->path().extension() == ".jsonl") found.push_back(it->path().string());
      if (ec) {
        *bad = a;
        return false;
      }
      std::sort(found.begin(), found.end());
      out->insert(out->end(), found.begin(), found.end());
    } else {
      out->push_back(a);
    }
  }
  return true;
}
