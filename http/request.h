// One HTTP/1.1 request read off a connection: a strict parser of the request
// line and headers (no obsolete line folding, no bare LF in the head, no
// chunked bodies), so anything unusual is refused rather than guessed at.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct HttpHeader {
  std::string name;   // lower case
  std::string value;  // leading and trailing blanks removed
};

struct HttpRequest {
  std::string method;  // as sent, e.g. "GET"
  std::string target;  // as sent: path and query
  std::string path;    // the target before '?', not decoded
  std::string query;   // after '?', "" when none
  int minor = 1;       // HTTP/1.minor: 0 or 1
  std::vector<HttpHeader> headers;
  size_t content_length = 0;  // 0 when the header is absent
  bool keep_alive = true;     // after this request, by version and Connection
  std::string body;           // filled by the server, content_length bytes
  // Filled by the router: what each "*" of the matched route's path stood for.
  std::vector<std::string> params;
};

// What http_parse_head made of the bytes so far.
enum class HttpParse {
  kDone,        // a whole head: *used bytes were its, the body (if any) follows
  kIncomplete,  // no blank line yet and still within the limit: read more
  kBad,         // not a request this server accepts: answer 400 and close
  kTooLarge,    // no end of head within `limit` bytes: answer 431 and close
  kNotImpl,     // a Transfer-Encoding: answer 501 and close
  kVersion,     // not HTTP/1.0 or HTTP/1.1: answer 505 and close
};

// Parses the request line and headers at the start of `data` (everything read
// so far), the head being at most `limit` bytes including its blank line.
// On kDone fills *out (body and params left empty) and sets *used to the
// head's length. Content-Length must be one run of digits (repeats must
// agree); Host is required for HTTP/1.1.
HttpParse http_parse_head(std::string_view data, size_t limit, HttpRequest* out, size_t* used);

// The value of header `name` (lower case), or nullptr when absent. With
// repeats, the first.
const std::string* http_header(const HttpRequest& r, std::string_view name);

// The status a parse result answers with (400, 431, 501, 505); 0 for kDone
// and kIncomplete.
int http_parse_status(HttpParse p);
