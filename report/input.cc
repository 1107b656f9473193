#include "report/input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "store/record.h"

namespace {

// One read; a line up to kMaxLine may span several.
constexpr size_t kChunk = 1 << 18;

}  // namespace

JournalRead journal_read(std::FILE* f, uint64_t start, LineSink sink, void* ctx) {
  JournalRead out;
  out.end = start;
  // Room for the longest line taken, its newline and the next read; the
  // padding stays readable behind whatever is in it.
  std::vector<char> buf(kMaxLine + 1 + kChunk + kLinePadding);
  const size_t cap = buf.size() - kLinePadding;
  size_t have = 0;
  uint64_t base = start;  // file offset of buf[0]
  bool skipping = false;  // inside a line already known too long
  for (;;) {
    size_t n = std::fread(buf.data() + have, 1, std::min(kChunk, cap - have), f);
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
      if (skipping) skipping = false;  // the end of the long line
      else if (len > kMaxLine) ++out.too_long;
      else if (!line.empty()) sink(ctx, line, true);
      pos += len + 1;
      out.end = base + pos;
    }
    if (skipping || end - pos > kMaxLine) {
      // No newline within kMaxLine: drop what there is and the rest of the
      // line as it comes.
      if (!skipping) ++out.too_long;
      skipping = true;
      base += end;
      have = 0;
      continue;
    }
    std::memmove(buf.data(), buf.data() + pos, end - pos);
    have = end - pos;
    base += pos;
  }
  if (have && !skipping) {
    std::memset(buf.data() + have, 0, kLinePadding);
    std::string_view line(buf.data(), have);
    if (line.back() == '\r') line.remove_suffix(1);
    sink(ctx, line, false);
  }
  return out;
}

bool journal_expand(const std::vector<std::string>& args, std::vector<Journal>* out,
                    std::vector<std::string>* skipped, std::string* bad) {
  namespace fs = std::filesystem;
  for (const std::string& a : args) {
    std::error_code ec;
    fs::file_status st = a == "-" ? fs::file_status() : fs::status(a, ec);
    if (a == "-") {
      out->push_back({a, true});
    } else if (fs::is_directory(st)) {
      std::vector<std::string> found;
      for (fs::directory_iterator it(a, ec), e; !ec && it != e; it.increment(ec)) {
        if (it->path().extension() != ".jsonl") continue;
        std::error_code ec2;
        // Links followed: a link to a journal is a journal.
        if (fs::is_regular_file(it->path(), ec2)) found.push_back(it->path().string());
        else skipped->push_back(it->path().string());
      }
      if (ec) {
        *bad = a;
        return false;
      }
      std::sort(found.begin(), found.end());
      std::sort(skipped->begin(), skipped->end());
      for (std::string& f : found) out->push_back({std::move(f), false});
    } else {
      bool stream = fs::exists(st) && !fs::is_regular_file(st);
      out->push_back({a, stream});
    }
  }
  return true;
}
