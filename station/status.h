// What the web view shows and a Prometheus server scrapes, made from the
// main loop's state: the status as one JSON object, the metrics as text.
// Serving them is web.h's.
#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http/prom.h"
#include "station/slots.h"

StationTally tally_make(size_t slots);

// Counts slot `i`'s finished run: `r` its state at the end (r.ended false
// when it left no record: a failure), `exit_code` its process's.
void tally_run(StationTally* t, size_t i, const RunState& r, int exit_code);

// The slot's state as the page and the API name it: the phase while a run
// goes ("start" before its first), else "parked", "done" or "waiting". A
// parked slot's run that has no box is on its way out: "parked".
std::string slot_state(const Slot& s);

// The status object: station `name`, `elapsed` seconds since the start.
nlohmann::ordered_json status_json(const Station& st, const std::string& name, double elapsed);

// Sets the status's `elapsed` and `boxes_per_hour` for `elapsed` seconds:
// a status made a moment ago, served now.
void status_set_clock(nlohmann::ordered_json* status, double elapsed);

// A JSON value as compact text; bytes that are not UTF-8 replaced, never
// an exception.
std::string json_text(const nlohmann::ordered_json& j);

// The metrics in the Prometheus text format, every series present from the
// start.
std::string metrics_text(const Station& st, const std::string& name);
