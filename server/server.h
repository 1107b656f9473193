// The service: one thread, many connections, each connection's dialogue a
// coroutine that reads top-down.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ServerConfig {
  std::string catalogue;
  std::vector<std::string> listen;  // "ADDR:PORT" or "[ADDR]:PORT"
  uint32_t max_connections = 1024;
  uint32_t idle_timeout_s = 12 * 3600;        // 0: no limit
  uint32_t send_timeout_s = 60;               // a send without progress; 0: no limit
  std::string http;                           // "ADDR:PORT" for /metrics and /healthz; "": none
  std::vector<std::string> http_allow_hosts;  // Host names --http answers besides its own
  std::string trust;                          // a trust file: only signed software is served
};

struct RequestLog;

// Serves until SIGTERM or SIGINT, writing each exchange to `log`; SIGHUP
// reloads the catalogue and reopens the log. Returns the exit code: 0 after a stop, 1 when it could
// not start (a line on standard error says why).
int server_run(const ServerConfig& config, RequestLog* log);
