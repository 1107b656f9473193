#include <nlohmann/json.hpp>

#include "report/output.h"

namespace {

using nlohmann::ordered_json;

void put_counts(ordered_json& j, const Counts& c) {
  j["attempts"] = attempts(c);
  j["ok"] = c.ok;
  j["failed"] = c.failed;
  j["stopped"] = c.stopped;
  j["yield"] = yield_of(c);
}

ordered_json rows(const std::vector<Row>& rows, const char* name) {
  ordered_json a = ordered_json::array();
  for (const Row& r : rows) {
    ordered_json j;
    j[name] = r.label;
    put_counts(j, r.counts);
    a.push_back(j);
  }
  return a;
}

}  // namespace

void output_json(std::FILE* out, const Summary& s) {
  ordered_json j;
  j["period"] = {{"first", s.first}, {"last", s.last}};
  ordered_json totals;
  put_counts(totals, s.totals);
  totals["boxes_per_hour"] = s.boxes_per_hour;
  totals["mean_good_seconds"] = s.mean_good_seconds;
  j["totals"] = totals;
  j["stations"] = rows(s.stations, "station");
  ordered_json ports = ordered_json::array();
  for (const Row& r : s.ports) {
    ordered_json p;
    p["station"] = r.label;
    p["port"] = r.label2;
    put_counts(p, r.counts);
    p["longest_failure_run"] = r.longest;
    ports.push_back(p);
  }
  j["ports"] = ports;
  ordered_json causes = ordered_json::array();
  for (const CauseRow& c : s.causes) {
    ordered_json details = ordered_json::array();
    for (const Detail& d : c.details) details.push_back({{"detail", d.text}, {"count", d.count}});
    causes.push_back({{"cause", c.cause},
                      {"count", c.count},
                      {"share", c.share},
                      {"details", details},
                      {"other_details", c.other_details},
                      {"other_details_count", c.other_count}});
  }
  j["causes"] = causes;
  j["box_versions"] = rows(s.box_versions, "box_version");
  ordered_json files = ordered_json::array();
  for (const Row& r : s.files) {
    size_t sp = r.label.find(' ');
    ordered_json f;
    f["file_version"] = r.label.substr(0, sp);
    f["file_checksum"] = r.label.substr(sp + 1);
    put_counts(f, r.counts);
    files.push_back(f);
  }
  j["files"] = files;
  ordered_json hours = ordered_json::array();
  for (const Row& r : s.hours) {
    ordered_json h;
    h["hour"] = r.label + ":00:00Z";
    put_counts(h, r.counts);
    h["boxes_per_hour"] = r.counts.ok;
    h["mean_good_seconds"] = mean_good_of(r.counts);
    hours.push_back(h);
  }
  j["hours"] = hours;
  if (s.units.units) {
    const UnitSummary& u = s.units;
    ordered_json units;
    units["units"] = u.units;
    units["first_pass"] = u.first_pass;
    units["first_pass_yield"] = u.first_pass_yield;
    units["final_good"] = u.final_good;
    units["final_yield"] = u.final_yield;
    units["retested"] = u.retested;
    units["retests"] = u.retests;
    ordered_json most = ordered_json::array();
    for (const UnitRow& r : u.most_attempts)
      most.push_back({{"unit", r.unit},
                      {"attempts", r.attempts},
                      {"ok", r.ok},
                      {"failed", r.failed},
                      {"last", result_text(r.last)}});
    units["most_attempts"] = most;
    j["units"] = units;
  }
  j["records"] = s.records;
  j["skipped_lines"] = s.skipped_lines;
  std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(out, "%s\n", text.c_str());
}
