// What update-server counts for its /metrics page, in Prometheus's text
// format. Counted on the server's one thread, in its State.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/request_log.h"

// The label values of update_server_exchanges_total: a fixed set, whatever
// a peer sends.
constexpr const char* kMetricCommands[] = {"B", "C", "D", "connect", "idle", "S", "other"};
constexpr const char* kMetricResults[] = {"ok", "none", "failed", "refused"};
constexpr size_t kNMetricCommands = sizeof kMetricCommands / sizeof kMetricCommands[0];
constexpr size_t kNMetricResults = sizeof kMetricResults / sizeof kMetricResults[0];

struct ServerMetrics {
  uint64_t exchanges[kNMetricCommands][kNMetricResults] = {};
  uint64_t bytes_sent = 0;
  uint64_t reloads_taken = 0, reloads_refused = 0;
};

// Counts one exchange, as the request log writes it.
void metrics_exchange(ServerMetrics* m, const Exchange& e);

// Counts one reload of the catalogue (SIGHUP): taken or refused.
void metrics_reload(ServerMetrics* m, bool taken);

// The page: the counts so far, the connections open now and the software
// files the catalogue serves.
std::string server_metrics_text(const ServerMetrics& m, size_t connections, size_t catalogue_files);
