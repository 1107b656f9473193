// The HTTP request parser of update-station and update-server, fed anything.
// Invariants: a head it takes ends at its blank line within the limit and
// holds only what a strict reading allows; every shorter piece of a head it
// takes is "read more", never a refusal (a request split across reads must
// not be turned away); and the head written back from what it read parses
// to the same request.
#include <cstdint>
#include <string>

#include "http/request.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool visible(const std::string& s, bool blanks) {
  for (unsigned char c : s)
    if ((c < 0x20 && !(blanks && c == '\t')) || c == 0x7f || (!blanks && c == ' ')) return false;
  return true;
}

void check_request(const HttpRequest& r) {
  FUZZ_CHECK(!r.method.empty() && visible(r.method, false));
  FUZZ_CHECK(!r.path.empty() && r.path[0] == '/');
  FUZZ_CHECK(r.path.find('?') == std::string::npos);
  FUZZ_CHECK(visible(r.target, false) && r.target.compare(0, r.path.size(), r.path) == 0);
  FUZZ_CHECK(r.minor == 0 || r.minor == 1);
  size_t hosts = 0;
  for (const HttpHeader& h : r.headers) {
    FUZZ_CHECK(!h.name.empty() && visible(h.name, false));
    for (char c : h.name) FUZZ_CHECK(!(c >= 'A' && c <= 'Z') && c != ':');
    FUZZ_CHECK(visible(h.value, true));
    FUZZ_CHECK(h.name != "transfer-encoding");
    hosts += h.name == "host";
  }
  FUZZ_CHECK(hosts <= 1 && (r.minor == 0 || hosts == 1));
}

std::string written_back(const HttpRequest& r) {
  std::string out = r.method + " " + r.target + " HTTP/1." + std::to_string(r.minor) + "\r\n";
  for (const HttpHeader& h : r.headers) out += h.name + ": " + h.value + "\r\n";
  return out + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks a limit, small ones included.
  size_t limit = data[0] < 128 ? 8192 : 16 + data[0];
  std::string in(reinterpret_cast<const char*>(data + 1), size - 1);
  HttpRequest r;
  size_t used = 0;
  HttpParse p = http_parse_head(in, limit, &r, &used);
  if (p == HttpParse::kIncomplete) FUZZ_CHECK(in.size() < limit);
  if (p != HttpParse::kDone) return 0;
  FUZZ_CHECK(used >= 4 && used <= in.size() && used <= limit);
  FUZZ_CHECK(in.compare(used - 4, 4, "\r\n\r\n") == 0);
  check_request(r);

  size_t step = used <= 256 ? 1 : used / 97 + 1;
  for (size_t n = 0; n < used; n += step) {
    HttpRequest part;
    size_t part_used = 0;
    FUZZ_CHECK(http_parse_head(in.substr(0, n), limit, &part, &part_used) ==
               HttpParse::kIncomplete);
  }

  HttpRequest again;
  size_t again_used = 0;
  std::string back = written_back(r);
  FUZZ_CHECK(http_parse_head(back, back.size(), &again, &again_used) == HttpParse::kDone);
  FUZZ_CHECK(again_used == back.size());
  FUZZ_CHECK(again.method == r.method && again.target == r.target && again.minor == r.minor);
  FUZZ_CHECK(again.headers.size() == r.headers.size());
  for (size_t i = 0; i < r.headers.size(); ++i)
    FUZZ_CHECK(again.headers[i].name == r.headers[i].name &&
               again.headers[i].value == r.headers[i].value);
  FUZZ_CHECK(again.content_length == r.content_length && again.keep_alive == r.keep_alive);
  return 0;
}
