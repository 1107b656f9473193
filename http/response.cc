#include "http/response.h"

namespace {

struct StatusText {
  int status;
  std::string_view text;
};

constexpr StatusText kStatusTexts[] = {
    {200, "OK"},
    {204, "No Content"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {413, "Content Too Large"},
    {421, "Misdirected Request"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {503, "Service Unavailable"},
    {505, "HTTP Version Not Supported"},
};

}  // namespace

std::string_view http_status_text(int status) {
  for (const StatusText& s : kStatusTexts)
    if (s.status == status) return s.text;
  return "Unknown";
}

std::string http_response_text(const HttpResponse& r, bool keep_alive, bool head_only) {
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " ";
  out += http_status_text(r.status);
  out += "\r\n";
  if (r.stream.empty()) {
    out += "Content-Type: " + r.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  } else {
    out += "Content-Type: text/event-stream; charset=utf-8\r\n";
  }
  out += "Cache-Control: no-store\r\n";
  for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
  if (!keep_alive) out += "Connection: close\r\n";
  out += "\r\n";
  if (!head_only) out += r.body;
  return out;
}

HttpResponse http_error(int status) {
  HttpResponse r;
  r.status = status;
  r.body = std::string(http_status_text(status)) + "\n";
  return r;
}

std::string http_sse_event(std::string_view event, std::string_view data) {
  std::string out;
  if (!event.empty()) {
    out += "event: ";
    out += event;
    out += "\n";
  }
  // Every line of the data its own "data:" line; CR LF, CR and LF all end
  // a line for the reader, so each is one here.
  while (true) {
    size_t eol = data.find_first_of("\r\n");
    out += "data: ";
    out += data.substr(0, eol);
    out += "\n";
    if (eol == std::string_view::npos) break;
    if (data[eol] == '\r' && eol + 1 < data.size() && data[eol + 1] == '\n') ++eol;
    data.remove_prefix(eol + 1);
  }
  out += "\n";
  return out;
}

HttpResponse http_page(std::string_view html) {
  HttpResponse r;
  r.content_type = "text/html; charset=utf-8";
  r.body = std::string(html);
  r.headers = {{"Content-Security-Policy",
                "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
               {"X-Content-Type-Options", "nosniff"},
               {"Referrer-Policy", "no-referrer"}};
  return r;
}
