// The station on the network: its page, /api/status, /api/events, /metrics
// and control, served by the HTTP layer on a thread of its own. The main
// loop owns the station: it publishes its state here and takes the control
// requests the handlers queue. The handlers never touch the station, and
// the main loop never waits for a client.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "station/status.h"

enum class WebAction { kPark, kUnpark, kDrain };

struct WebControl {
  WebAction action;
  size_t slot;  // 0-based; unused for kDrain
};

struct WebView;

struct WebConfig {
  std::string listen;      // "ADDR:PORT"
  std::string token_file;  // "" = control refused
  std::string station;     // "" = the host name
  size_t slots = 0;
  std::function<double()> now;           // station seconds; called from the server's thread
  std::vector<std::string> allow_hosts;  // Host names answered besides the machine's own
};

// Reads the token and listens. Returns nullptr and a sentence in *error
// when it cannot.
WebView* web_start(const WebConfig& config, std::string* error);

// The address and real port it listens on ("127.0.0.1:8080", "[::1]:8080").
std::string web_local(const WebView* w);

// Becomes ready when a control request waits; the main loop's wait
// includes it (drain it after a wake).
intptr_t web_wait_handle(const WebView* w);

// The control requests queued since the last call, oldest first. Their
// senders wait for the next web_publish, whose status shows their effect.
std::vector<WebControl> web_take(WebView* w);

// Publishes the station's state at station time `now`: status and metrics
// for the next requests, and a status event to the streams when the status
// changed (its clock aside), at most 5 a second; one held back goes out
// with a later call. `last` sends a held-back event whatever its age.
void web_publish(WebView* w, const Station& st, double now, bool last = false);

// Sends a finished attempt's journal record (one line of JSON) to the
// streams as an `attempt` event.
void web_attempt(WebView* w, const std::string& record);

// Closes every client and the listener; frees `w`.
void web_stop(WebView* w);
