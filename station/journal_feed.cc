#include "station/journal_feed.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/file.h"
#include "station/status.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

uint64_t fnv1a(std::string_view s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool hex_field(std::string_view s, uint64_t* out) {
  if (s.empty() || s.size() > 16) return false;
  uint64_t v = 0;
  for (char c : s) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    v = v << 4 | static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

bool dec_field(std::string_view s, uint64_t* out) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query value with its %XX and '+' undone; false when a % is broken.
bool unescape(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); i++) {
    if (in[i] == '+') {
      *out += ' ';
    } else if (in[i] == '%') {
      if (i + 2 >= in.size()) return false;
      int a = hex_digit(in[i + 1]), b = hex_digit(in[i + 2]);
      if (a < 0 || b < 0) return false;
      *out += static_cast<char>(a * 16 + b);
      i += 2;
    } else {
      *out += in[i];
    }
  }
  return true;
}

JournalFeed refuse(int status, const std::string& why) {
  JournalFeed f;
  f.status = status;
  f.body = why + "\n";
  return f;
}

// The journal's first line, when it is whole; "" and false otherwise.
bool read_first_line(std::FILE* f, std::string* line) {
  line->clear();
  char buf[kChunk];
  while (line->size() <= kJournalFeedLine) {
    size_t n = std::fread(buf, 1, sizeof buf, f);
    if (n == 0) return false;
    const char* nl = static_cast<const char*>(std::memchr(buf, '\n', n));
    if (nl) {
      line->append(buf, static_cast<size_t>(nl - buf));
      return true;
    }
    line->append(buf, n);
  }
  // Too long to be a record: it names the journal by its first bytes.
  return true;
}

// True when `offset` is the start of a line of `f`: 0, or just past a '\n'.
bool line_start(std::FILE* f, uint64_t offset) {
  if (offset == 0) return true;
  if (offset - 1 > static_cast<uint64_t>(LONG_MAX)) return false;
  if (std::fseek(f, static_cast<long>(offset - 1), SEEK_SET) != 0) return false;
  return std::fgetc(f) == '\n';
}

void add_record(std::string* body, size_t* count, const std::string& line) {
  if (*count) *body += ',';
  if (nlohmann::json::accept(line)) *body += line;
  else *body += json_text(nlohmann::ordered_json(line));
  ++*count;
}

// One page from `f` into body/count/more/next: from `after` when it names
// this file and a line start in it (*same then true), else from the start
// (with `only_same` nothing is read then).
void read_page(std::FILE* f, bool have_after, const JournalCursor& after, bool only_same,
               size_t limit, std::string& body, size_t& count, bool& more, JournalCursor& next,
               bool* matched) {
  std::rewind(f);
  {
    std::string first;
    bool whole = read_first_line(f, &first);
    if (!plat_file_identity(f, &next.volume, &next.index)) next.volume = next.index = 0;
    next.first_hash = whole ? fnv1a(first) : 0;
    // The cursor's journal, still there: on from its offset; any other
    // (rotated, rewritten, cut short) from its start.
    bool same = have_after && whole && after.volume == next.volume && after.index == next.index &&
                after.first_hash == next.first_hash;
    same = same && line_start(f, after.offset);
    *matched = same;
    if (only_same && !same) return;
    uint64_t pos = same ? after.offset : 0;
    next.offset = pos;
    if (whole && pos <= static_cast<uint64_t>(LONG_MAX) &&
        std::fseek(f, static_cast<long>(pos), SEEK_SET) == 0) {
      std::string line;
      bool overlong = false;
      char buf[kChunk];
      size_t n;
      uint64_t file_at = pos;  // the offset of buf[0]
      bool stop = false;
      while (!stop && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        size_t at = 0;
        while (at < n) {
          const char* nl = static_cast<const char*>(std::memchr(buf + at, '\n', n - at));
          size_t len = nl ? static_cast<size_t>(nl - (buf + at)) : n - at;
          if (!overlong && line.size() + len > kJournalFeedLine) {
            overlong = true;
            std::string().swap(line);
          }
          if (!overlong) line.append(buf + at, len);
          if (!nl) break;
          if (!overlong && !line.empty()) {
            if (count == limit || (count && body.size() + line.size() > kJournalFeedBytes)) {
              more = true;
              stop = true;
              break;
            }
            add_record(&body, &count, line);
          }
          // Past the line, whether it went, was blank or was too long.
          at += len + 1;
          next.offset = file_at + at;
          overlong = false;
          line.clear();
        }
        file_at += n;
      }
    }
  }
}

}  // namespace

std::string journal_cursor_text(const JournalCursor& c) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "j1-%llx-%llx-%llx-%llu", (unsigned long long)c.volume,
                (unsigned long long)c.index, (unsigned long long)c.first_hash,
                (unsigned long long)c.offset);
  return buf;
}

bool journal_cursor_parse(std::string_view text, JournalCursor* out) {
  if (text.substr(0, 3) != "j1-") return false;
  text.remove_prefix(3);
  std::string_view part[4];
  for (int i = 0; i < 4; i++) {
    size_t dash = i < 3 ? text.find('-') : text.size();
    if (dash == std::string_view::npos) return false;
    part[i] = text.substr(0, dash);
    text.remove_prefix(i < 3 ? dash + 1 : dash);
  }
  JournalCursor c;
  if (!hex_field(part[0], &c.volume) || !hex_field(part[1], &c.index) ||
      !hex_field(part[2], &c.first_hash) || !dec_field(part[3], &c.offset))
    return false;
  *out = c;
  return true;
}

JournalFeed journal_feed(const std::string& path, std::string_view query) {
  if (path.empty()) return refuse(404, "this station keeps no journal");
  bool have_after = false;
  JournalCursor after;
  size_t limit = kJournalFeedDefault;
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    size_t eq = pair.find('=');
    std::string_view key = pair.substr(0, eq);
    std::string value;
    if (!unescape(eq == std::string_view::npos ? "" : pair.substr(eq + 1), &value))
      return refuse(400, "a broken escape in the query");
    if (key == "after") {
      if (!journal_cursor_parse(value, &after))
        return refuse(400, "not a journal cursor: " + value);
      have_after = true;
    } else if (key == "limit") {
      uint64_t n = 0;
      if (!dec_field(value, &n) || n == 0) return refuse(400, "limit is a number from 1");
      limit = n > kJournalFeedMax ? kJournalFeedMax : static_cast<size_t>(n);
    }
  }

  std::string body = "{\"records\":[";
  size_t count = 0;
  bool more = false;
  JournalCursor next;
  if (have_after) next = after;
  // A journal rotated since the cursor was made: the rest of the old one
  // (under its first rotated name) goes first, then the new one from its start.
  bool matched = false;
  std::FILE* f = plat_open_regular_file(path.c_str());
  JournalCursor current = next;
  if (f) read_page(f, have_after, after, have_after, limit, body, count, more, current, &matched);
  if (have_after && !matched) {
    std::FILE* old = plat_open_regular_file((path + ".1").c_str());
    JournalCursor in_old = next;
    bool old_matched = false;
    if (old) {
      read_page(old, true, after, true, limit, body, count, more, in_old, &old_matched);
      std::fclose(old);
    }
    if (old_matched && (count || more)) {
      current = in_old;
    } else {
      body = "{\"records\":[";
      count = 0;
      more = false;
      current = next;
      if (f) read_page(f, false, after, false, limit, body, count, more, current, &matched);
    }
  }
  if (f) std::fclose(f);
  next = current;
  body += "],\"next\":\"" + journal_cursor_text(next) + "\",\"more\":";
  body += more ? "true}" : "false}";
  JournalFeed out;
  out.body = body + "\n";
  return out;
}
