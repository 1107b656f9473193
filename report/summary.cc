#include "report/summary.h"

#include <algorithm>
#include <cstdlib>

int64_t attempts(const Counts& c) { return c.ok + c.failed; }

double yield_of(const Counts& c) {
  return attempts(c) ? static_cast<double>(c.ok) / static_cast<double>(attempts(c)) : 0;
}

double mean_good_of(const Counts& c) {
  return c.ok ? c.good_seconds / static_cast<double>(c.ok) : 0;
}

namespace {

std::vector<Row> rows_of(const CountsBy& m) {
  std::vector<Row> out;
  for (const auto& [k, c] : m) out.push_back(Row{k, {}, c, 0});
  return out;
}

// COM numbers in numeric order, then paths and addresses as text.
bool port_less(const std::string& a, const std::string& b) {
  bool na = !a.empty() && a.find_first_not_of("0123456789") == std::string::npos;
  bool nb = !b.empty() && b.find_first_not_of("0123456789") == std::string::npos;
  if (na != nb) return na;
  if (na && a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

Summary summarize(const Tally& t) {
  Summary s;
  s.first = t.first;
  s.last = t.last;
  s.totals = t.totals;
  s.yield = yield_of(t.totals);
  s.mean_good_seconds = mean_good_of(t.totals);
  size_t hours_with_records = t.hours.size();
  s.boxes_per_hour = hours_with_records ? static_cast<double>(t.totals.ok) /
                                              static_cast<double>(hours_with_records)
                                        : 0;
  s.stations = rows_of(t.stations);
  s.box_versions = rows_of(t.box_versions);
  s.files = rows_of(t.files);
  s.hours = rows_of(t.hours);
  for (const auto& [k, p] : t.ports)
    s.ports.push_back(Row{std::string(tally_port_station(k)), std::string(tally_port_name(k)),
                          p.counts, p.longest});
  std::stable_sort(s.ports.begin(), s.ports.end(), [](const Row& a, const Row& b) {
    if (a.label != b.label) return a.label < b.label;
    return port_less(a.label2, b.label2);
  });
  int64_t failures = 0;
  for (const auto& [cause, n] : t.causes) {
    CauseRow row{cause, n, 0, 0, {}, 0, 0};
    if (auto it = t.cause_details.find(cause); it != t.cause_details.end()) {
      for (const auto& [text, count] : it->second) row.details.push_back(Detail{text, count});
      std::stable_sort(row.details.begin(), row.details.end(),
                       [](const Detail& a, const Detail& b) { return a.count > b.count; });
      for (size_t i = kCauseDetails; i < row.details.size(); ++i) {
        ++row.other_details;
        row.other_count += row.details[i].count;
      }
      if (row.details.size() > kCauseDetails) row.details.resize(kCauseDetails);
      s.cause_details = s.cause_details || !row.details.empty();
    }
    s.causes.push_back(std::move(row));
    failures += n;
  }
  std::stable_sort(s.causes.begin(), s.causes.end(),
                   [](const CauseRow& a, const CauseRow& b) { return a.count > b.count; });
  int64_t running = 0;
  for (CauseRow& c : s.causes) {
    running += c.count;
    c.share = failures ? static_cast<double>(c.count) / static_cast<double>(failures) : 0;
    c.running = failures ? static_cast<double>(running) / static_cast<double>(failures) : 0;
  }
  UnitSummary& u = s.units;
  for (const auto& [name, c] : t.units) {
    ++u.units;
    u.first_pass += c.first == kResultOk;
    u.final_good += c.last == kResultOk;
    if (c.attempts > 1) {
      ++u.retested;
      u.retests += c.attempts - 1;
      u.most_attempts.push_back(UnitRow{name, c.attempts, c.ok, c.failed, c.last});
    }
  }
  if (u.units) {
    u.first_pass_yield = static_cast<double>(u.first_pass) / static_cast<double>(u.units);
    u.final_yield = static_cast<double>(u.final_good) / static_cast<double>(u.units);
  }
  std::stable_sort(u.most_attempts.begin(), u.most_attempts.end(),
                   [](const UnitRow& a, const UnitRow& b) { return a.attempts > b.attempts; });
  if (u.most_attempts.size() > kUnitRows) u.most_attempts.resize(kUnitRows);
  s.records = t.records;
  s.skipped_lines = t.skipped_lines;
  return s;
}
