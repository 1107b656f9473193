// What update-server counts for its /metrics page, in Prometheus's text
// format. Counted on the server's one thread.
#pragma once
#include <cstddef>
#include <string>

#include "server/request_log.h"

// Counts one exchange, as the request log writes it.
void metrics_exchange(const Exchange& e);

// Counts one reload of the catalogue (SIGHUP): taken or refused.
void metrics_reload(bool taken);

// The page: the counts so far, the connections open now and the software
// files the catalogue serves.
std::string metrics_text(size_t connections, size_t catalogue_files);
