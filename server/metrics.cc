#include "server/metrics.h"

#include <cstdint>
#include <cstring>

#include "http/prom.h"

namespace {

// The index of `text` in `names`, or the last one ("other").
size_t index_of(const char* const* names, size_t n, const char* text) {
  for (size_t i = 0; i < n; ++i)
    if (std::strcmp(names[i], text) == 0) return i;
  return n - 1;
}

}  // namespace

void metrics_exchange(ServerMetrics* m, const Exchange& e) {
  size_t c = index_of(kMetricCommands, kNMetricCommands, e.command);
  size_t r = index_of(kMetricResults, kNMetricResults, e.result);
  ++m->exchanges[c][r];
  m->bytes_sent += e.bytes_sent;
}

void metrics_reload(ServerMetrics* m, bool taken) {
  ++(taken ? m->reloads_taken : m->reloads_refused);
}

std::string server_metrics_text(const ServerMetrics& m, size_t connections,
                                size_t catalogue_files) {
  std::string out;
  prom_family(&out, "update_server_connections", "gauge", "Update protocol connections open now.");
  prom_sample(&out, "update_server_connections", {}, static_cast<double>(connections));
  prom_family(&out, "update_server_exchanges_total", "counter",
              "Exchanges with boxes, by command and result, as the request log writes them.");
  for (size_t c = 0; c < kNMetricCommands; ++c) {
    for (size_t r = 0; r < kNMetricResults; ++r) {
      // Series that cannot happen stay out; the usual ones show from the
      // start, at 0, so a rate has a beginning.
      bool usual = (c == 1 || c == 2) && r != 3;
      if (!usual && m.exchanges[c][r] == 0) continue;
      prom_sample(&out, "update_server_exchanges_total",
                  {{"command", kMetricCommands[c]}, {"result", kMetricResults[r]}},
                  static_cast<double>(m.exchanges[c][r]));
    }
  }
  prom_family(&out, "update_server_bytes_sent_total", "counter", "Software bytes sent to boxes.");
  prom_sample(&out, "update_server_bytes_sent_total", {}, static_cast<double>(m.bytes_sent));
  prom_family(&out, "update_server_reloads_total", "counter",
              "Catalogue reloads (SIGHUP): taken, or refused with the previous one kept.");
  prom_sample(&out, "update_server_reloads_total", {{"result", "ok"}},
              static_cast<double>(m.reloads_taken));
  prom_sample(&out, "update_server_reloads_total", {{"result", "refused"}},
              static_cast<double>(m.reloads_refused));
  prom_family(&out, "update_server_catalogue_files", "gauge",
              "Software files the catalogue serves.");
  prom_sample(&out, "update_server_catalogue_files", {}, static_cast<double>(catalogue_files));
  return out;
}
