// The hub's side of HTTP: one GET at a time per call, on the caller's
// io_context, every answer bounded in size and time so a station that
// sends too much, too slowly or nothing at all costs only itself.
#pragma once
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct ClientUrl {
  std::string host;  // a name or an address; IPv6 without its brackets
  uint16_t port = 80;
  std::string base;  // the path before the API's, "" or "/prefix" (no trailing '/')
};

// Reads "http://HOST[:PORT][/PATH]" ("[V6]" for IPv6). Returns "" or why not.
std::string client_parse_url(std::string_view text, ClientUrl* out);

struct ClientAnswer {
  int status = 0;     // 0: no answer (see error)
  std::string body;   // the whole body
  std::string error;  // "" on an answer, else why there is none
};

// GET `target` (path and query) from `url`: the answer when it came
// whole within `limit` and at most `max_body` bytes of body; otherwise
// status 0 and why.
asio::awaitable<ClientAnswer> client_get(const ClientUrl& url, std::string target, size_t max_body,
                                         std::chrono::milliseconds limit);

// One Server-Sent Event.
struct ClientEvent {
  std::string event;  // "message" when the stream named none
  std::string data;   // its data lines joined with '\n'
};

// Follows the event stream at `target` until it ends, fails, stays
// silent for `quiet` (a live stream sends a comment now and then), or an
// event passes `max_event` bytes; `on_open` runs once the stream is
// answered with 200, `on_event` for every event. Returns why it ended.
asio::awaitable<std::string> client_follow(const ClientUrl& url, std::string target,
                                           size_t max_event, std::chrono::milliseconds quiet,
                                           std::function<void()> on_open,
                                           std::function<void(const ClientEvent&)> on_event);

// Feeds stream bytes to an event parser: complete events go to `on_event`.
// False when a line or an event passes `max_event` bytes.
struct SseParser {
  std::string line, event, data;
  bool have_data = false;
  size_t size = 0;
};
bool sse_feed(SseParser* p, std::string_view bytes, size_t max_event,
              const std::function<void(const ClientEvent&)>& on_event);

// A station's journal answer {"records": [...], "next": CURSOR, "more":
// bool}: each record's text as the answer holds it, byte for byte (the
// journal's line; the store and the report read it), the cursor and
// whether more follows. False when the body is not such an object.
struct JournalPage {
  std::vector<std::string_view> records;  // views into the body
  std::string next;
  bool more = false;
};
bool client_journal_page(std::string_view body, JournalPage* out);
