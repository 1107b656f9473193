#include "station/status.h"

#include <algorithm>
#include <cmath>

using json = nlohmann::ordered_json;

namespace {

// Up to twenty minutes a box; slower ones land in +Inf.
const std::vector<double> kSecondsBounds = {1,  2,  5,   10,  15,  20,  30,  45,
                                            60, 90, 120, 180, 300, 600, 1200};

json text_or_null(const std::string& s) { return s.empty() ? json(nullptr) : json(s); }

double tenths(double v) { return std::round(v * 10) / 10; }

}  // namespace

StationTally tally_make(size_t slots) {
  StationTally t;
  t.slots.resize(slots);
  t.good_seconds = prom_histogram_make(kSecondsBounds);
  return t;
}

void tally_run(StationTally* t, size_t i, const RunState& r, int exit_code) {
  StationTally::PerSlot& s = t->slots[i];
  s.bytes += std::max(r.bytes, 0L);
  if (!r.ended || r.result == RunResult::kFailed) {
    s.failed++;
  } else if (r.result == RunResult::kStopped) {
    s.stopped++;
  } else if (exit_code == 0) {
    s.ok++;
    prom_observe(&t->good_seconds, r.seconds);
  } else {
    s.failed++;  // a record that says ok from a run that did not end well
  }
}

std::string slot_state(const Slot& s) {
  // A parked slot's run without a box is being stopped: it shows parked.
  if (s.running && !(s.parked && s.run.box_version.empty()))
    return s.run.phase.empty() ? "start" : s.run.phase;
  if (s.parked) return "parked";
  return s.done ? "done" : "waiting";
}

json status_json(const Station& st, const std::string& name, double elapsed) {
  int ok = 0, failed = 0;
  json slots = json::array();
  for (size_t i = 0; i < st.slots.size(); i++) {
    const Slot& s = st.slots[i];
    ok += s.ok;
    failed += s.failed;
    const RunState& r = s.run;
    slots.push_back({
        {"slot", i + 1},
        {"port", s.port},
        {"state", slot_state(s)},
        {"percent", s.running && r.percent >= 0 ? json(r.percent) : json(nullptr)},
        {"box_version", text_or_null(r.box_version)},
        {"line_speed", r.line_speed ? json(r.line_speed) : json(nullptr)},
        {"ok", s.ok},
        {"failed", s.failed},
        {"streak", s.streak},
        {"last_error", text_or_null(s.last_error)},
        {"last_error_detail", text_or_null(s.last_error_detail)},
        {"unit", text_or_null(s.unit)},
        {"retest", s.retest},
    });
    // With --scan: the serial waiting for the slot's next box.
    if (st.scan) slots.back()["next_unit"] = text_or_null(s.next_unit);
  }
  std::vector<std::pair<std::string, int>> by_count(st.causes.begin(), st.causes.end());
  std::stable_sort(by_count.begin(), by_count.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  json causes = json::array();
  for (const auto& [cause, n] : by_count) causes.push_back({{"cause", cause}, {"count", n}});
  json attempts = json::array();
  for (auto it = st.attempts.rbegin(); it != st.attempts.rend(); ++it) {
    json r = json::parse(*it, nullptr, false);
    if (r.is_object()) attempts.push_back(std::move(r));
  }
  json status = {
      {"station", name},
      {"file", st.file},
      {"file_version", text_or_null(st.file_version)},
      {"file_checksum", text_or_null(st.file_checksum)},
      {"elapsed", 0.0},
      {"ok", ok},
      {"failed", failed},
      {"boxes_per_hour", 0.0},
      {"draining", st.draining},
      {"slots", slots},
      {"causes", causes},
      {"attempts", attempts},  // newest first
  };
  if (st.scan) {
    // The slot a serial scanned without one goes to, and whether the
    // scanner's input has ended.
    size_t target = scan_target(st);
    status["scan"] = {{"slot", target < st.slots.size() ? json(target + 1) : json(nullptr)},
                      {"ended", st.scan_ended}};
  }
  status_set_clock(&status, elapsed);
  return status;
}

void status_set_clock(json* status, double elapsed) {
  int ok = (*status)["ok"].get<int>();
  (*status)["elapsed"] = tenths(elapsed);
  (*status)["boxes_per_hour"] = elapsed > 0 ? tenths(ok * 3600.0 / elapsed) : 0.0;
}

std::string json_text(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string metrics_text(const Station& st, const std::string& name) {
  const StationTally& t = st.tally;
  std::string out;
  prom_family(&out, "update_station_attempts_total", "counter",
              "Finished runs of update by the result of their journal record.");
  for (size_t i = 0; i < st.slots.size(); i++) {
    const StationTally::PerSlot& c = t.slots[i];
    const std::string& port = st.slots[i].port;
    prom_sample(&out, "update_station_attempts_total",
                {{"station", name}, {"port", port}, {"result", "ok"}}, c.ok);
    prom_sample(&out, "update_station_attempts_total",
                {{"station", name}, {"port", port}, {"result", "failed"}}, c.failed);
    prom_sample(&out, "update_station_attempts_total",
                {{"station", name}, {"port", port}, {"result", "stopped"}}, c.stopped);
  }
  prom_family(&out, "update_station_bytes_total", "counter",
              "Image bytes the boxes acknowledged, the run in progress included.");
  for (size_t i = 0; i < st.slots.size(); i++) {
    const Slot& s = st.slots[i];
    double now = s.running ? std::max(s.run.bytes, 0L) : 0;
    prom_sample(&out, "update_station_bytes_total", {{"station", name}, {"port", s.port}},
                t.slots[i].bytes + now);
  }
  prom_family(&out, "update_station_slot_parked", "gauge", "1 while the slot is parked.");
  for (const Slot& s : st.slots)
    prom_sample(&out, "update_station_slot_parked", {{"station", name}, {"port", s.port}},
                s.parked ? 1 : 0);
  prom_family(&out, "update_station_attempt_duration_seconds", "histogram",
              "Wall time of the good attempts.");
  prom_histogram(&out, "update_station_attempt_duration_seconds", {{"station", name}},
                 t.good_seconds);
  prom_family(&out, "update_station_info", "gauge", "The station and the file it loads.");
  prom_sample(
      &out, "update_station_info",
      {{"station", name}, {"file_version", st.file_version}, {"file_checksum", st.file_checksum}},
      1);
  return out;
}
