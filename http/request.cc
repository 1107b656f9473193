#include "http/request.h"

#include <cstdint>

namespace {

constexpr size_t kMaxHeaders = 100;
constexpr size_t kMaxMethod = 16;

bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~': return true;
  }
  return false;
}

// Visible ASCII, as a request target may hold.
bool is_vchar(unsigned char c) { return c > 0x20 && c < 0x7f; }

// A field value byte: visible, blank, or beyond ASCII (obs-text).
bool is_field_byte(unsigned char c) { return c == ' ' || c == '\t' || (c > 0x20 && c != 0x7f); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

// Whether the comma-separated list `v` holds `token` (case-insensitive).
bool has_token(std::string_view v, std::string_view token) {
  while (!v.empty()) {
    size_t comma = v.find(',');
    std::string_view item = trim(v.substr(0, comma));
    if (item.size() == token.size()) {
      bool same = true;
      for (size_t i = 0; i < item.size() && same; ++i) same = lower(item[i]) == token[i];
      if (same) return true;
    }
    if (comma == std::string_view::npos) break;
    v.remove_prefix(comma + 1);
  }
  return false;
}

HttpParse parse_request_line(std::string_view line, HttpRequest* out) {
  size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0 || sp1 > kMaxMethod) return HttpParse::kBad;
  std::string_view method = line.substr(0, sp1);
  for (unsigned char c : method)
    if (!is_tchar(c)) return HttpParse::kBad;
  std::string_view rest = line.substr(sp1 + 1);
  size_t sp2 = rest.find(' ');
  if (sp2 == std::string_view::npos || sp2 == 0) return HttpParse::kBad;
  std::string_view target = rest.substr(0, sp2);
  std::string_view version = rest.substr(sp2 + 1);
  // Origin form only: this server has no proxying and no OPTIONS *.
  if (target.front() != '/') return HttpParse::kBad;
  for (unsigned char c : target)
    if (!is_vchar(c)) return HttpParse::kBad;
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
    return HttpParse::kBad;
  if (version[5] != '1' || version[7] > '1') return HttpParse::kVersion;
  out->method = method;
  out->target = target;
  size_t q = target.find('?');
  out->path = target.substr(0, q);
  out->query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
  out->minor = version[7] - '0';
  return HttpParse::kDone;
}

HttpParse parse_header_line(std::string_view line, HttpRequest* out) {
  size_t colon = line.find(':');
  // No blank before the colon and no continuation lines: both have been
  // used to smuggle requests past proxies.
  if (colon == std::string_view::npos || colon == 0) return HttpParse::kBad;
  HttpHeader h;
  for (unsigned char c : line.substr(0, colon)) {
    if (!is_tchar(c)) return HttpParse::kBad;
    h.name += lower(static_cast<char>(c));
  }
  std::string_view value = line.substr(colon + 1);
  for (unsigned char c : value)
    if (!is_field_byte(c)) return HttpParse::kBad;
  h.value = trim(value);
  if (out->headers.size() == kMaxHeaders) return HttpParse::kBad;
  out->headers.push_back(std::move(h));
  return HttpParse::kDone;
}

HttpParse check_headers(HttpRequest* out) {
  bool have_length = false;
  size_t hosts = 0;
  bool close = false, keep = false;
  for (const HttpHeader& h : out->headers) {
    if (h.name == "transfer-encoding") return HttpParse::kNotImpl;
    if (h.name == "host") ++hosts;
    if (h.name == "connection") {
      close = close || has_token(h.value, "close");
      keep = keep || has_token(h.value, "keep-alive");
    }
    if (h.name == "content-length") {
      if (h.value.empty() || h.value.size() > 15) return HttpParse::kBad;
      size_t n = 0;
      for (char c : h.value) {
        if (c < '0' || c > '9') return HttpParse::kBad;
        n = n * 10 + static_cast<size_t>(c - '0');
      }
      if (have_length && n != out->content_length) return HttpParse::kBad;
      have_length = true;
      out->content_length = n;
    }
  }
  if (hosts > 1 || (out->minor == 1 && hosts == 0)) return HttpParse::kBad;
  out->keep_alive = out->minor == 1 ? !close : keep && !close;
  return HttpParse::kDone;
}

}  // namespace

HttpParse http_parse_head(std::string_view data, size_t limit, HttpRequest* out, size_t* used) {
  // Blank lines before a request are tolerated (some clients send one
  // after a body), as the standard asks.
  size_t start = 0;
  while (data.size() - start >= 2 && data[start] == '\r' && data[start + 1] == '\n') start += 2;
  size_t end = data.find("\r\n\r\n", start);
  if (end == std::string_view::npos || end + 4 > limit) {
    if (end != std::string_view::npos || data.size() >= limit) return HttpParse::kTooLarge;
    // Refuse garbage now rather than after 8 KiB of it: every byte of a
    // request line is visible ASCII or a blank.
    std::string_view first = data.substr(start);
    for (size_t i = 0; i < first.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(first[i]);
      if (c == '\r' && (i + 1 == first.size() || first[i + 1] == '\n')) break;
      if (c != ' ' && !is_vchar(c)) return HttpParse::kBad;
    }
    return HttpParse::kIncomplete;
  }
  *out = HttpRequest();
  std::string_view head = data.substr(start, end - start);
  bool first = true;
  while (true) {
    size_t eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    // A lone CR or LF inside a line is not a line end this parser guesses at.
    if (line.find_first_of("\r\n") != std::string_view::npos) return HttpParse::kBad;
    HttpParse p = first ? parse_request_line(line, out) : parse_header_line(line, out);
    if (p != HttpParse::kDone) return p;
    first = false;
    if (eol == std::string_view::npos) break;
    head.remove_prefix(eol + 2);
  }
  HttpParse p = check_headers(out);
  if (p != HttpParse::kDone) return p;
  *used = end + 4;
  return HttpParse::kDone;
}

const std::string* http_header(const HttpRequest& r, std::string_view name) {
  for (const HttpHeader& h : r.headers)
    if (h.name == name) return &h.value;
  return nullptr;
}

int http_parse_status(HttpParse p) {
  switch (p) {
    case HttpParse::kBad: return 400;
    case HttpParse::kTooLarge: return 431;
    case HttpParse::kNotImpl: return 501;
    case HttpParse::kVersion: return 505;
    case HttpParse::kDone:
    case HttpParse::kIncomplete: break;
  }
  return 0;
}
