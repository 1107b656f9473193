// What a handler answers, and the bytes that go on the wire for it.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // extra, as given
  // Non-empty: the request becomes a Server-Sent Events stream on this
  // channel (see http_publish). `body` is then sent as the stream's first
  // bytes (e.g. the current state as an event) and content_type is ignored.
  std::string stream;
  // Set by a handler whose answer comes later (it waits on another
  // thread's work): the server calls it at once with the function that
  // sends the answer, which is to be called once, on the server's thread
  // (http_post from elsewhere). The connection waits; the server's other
  // clients do not. Unanswered for a minute: 503. The owner answers every
  // such request before http_stop, which waits for them otherwise.
  std::function<void(std::function<void(HttpResponse)>)> later;
};

// The reason phrase of a status ("Not Found"); "Unknown" for codes not used.
std::string_view http_status_text(int status);

// The status line, headers and body of `r`. Adds Content-Type,
// Content-Length (not for a stream), Cache-Control: no-store, and
// "Connection: close" when !keep_alive. `head_only` leaves out the body.
std::string http_response_text(const HttpResponse& r, bool keep_alive, bool head_only = false);

// A self-contained HTML page: a policy that lets it fetch nothing from
// elsewhere and talk only to its own server.
HttpResponse http_page(std::string_view html);

// A plain response with `status` and its reason phrase as the body.
HttpResponse http_error(int status);

// One Server-Sent Event: "event: NAME\n", one "data: " line per line of
// `data`, and the blank line that ends it. Empty `event` leaves out the
// event line (the client then sees a "message").
std::string http_sse_event(std::string_view event, std::string_view data);
