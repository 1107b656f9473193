#include "store/tally.h"

namespace {

template <typename Map>
typename Map::mapped_type& entry(Map& m, std::string_view key) {
  auto it = m.find(key);
  if (it == m.end()) it = m.emplace(std::string(key), typename Map::mapped_type{}).first;
  return it->second;
}

void count(Counts& c, const Record& r) {
  switch (r.result) {
    case kResultOk:
      ++c.ok;
      c.good_seconds += r.seconds;
      break;
    case kResultFailed: ++c.failed; break;
    case kResultStopped: ++c.stopped; break;
  }
}

}  // namespace

void tally_add(Tally* t, const Record& r) {
  ++t->records;
  if (t->first.empty() || r.time < std::string_view(t->first)) t->first.assign(r.time);
  if (t->last.empty() || r.time > std::string_view(t->last)) t->last.assign(r.time);
  count(t->totals, r);
  count(entry(t->stations, r.station), r);
  count(entry(t->box_versions, r.box_version), r);
  std::string& s = t->scratch;
  s.assign(r.file_version);
  s += ' ';
  s += r.file_checksum;
  count(entry(t->files, s), r);
  count(entry(t->hours, r.time.substr(0, 13)), r);

  if (!r.unit.empty() && r.result != kResultStopped) {
    UnitCounts& u = entry(t->units, r.unit);
    ++u.attempts;
    ++(r.result == kResultOk ? u.ok : u.failed);
    // Journals may come in any order: first and last by time.
    if (u.attempts == 1 || r.time < std::string_view(u.first_time)) {
      u.first_time.assign(r.time);
      u.first = r.result;
    }
    if (u.attempts == 1 || r.time >= std::string_view(u.last_time)) {
      u.last_time.assign(r.time);
      u.last = r.result;
    }
  }

  s.assign(r.station);
  s += '\x1f';
  s += r.port;
  PortCounts& p = entry(t->ports, s);
  count(p.counts, r);
  if (r.result == kResultFailed) {
    ++entry(t->causes, r.cause);
    if (!r.error_detail.empty()) ++entry(entry(t->cause_details, r.cause), r.error_detail);
    if (++p.run > p.longest) p.longest = p.run;
  } else if (r.result == kResultOk) {
    p.run = 0;
  }
}

std::string_view tally_port_station(std::string_view key) {
  return key.substr(0, key.find('\x1f'));
}

std::string_view tally_port_name(std::string_view key) { return key.substr(key.find('\x1f') + 1); }
