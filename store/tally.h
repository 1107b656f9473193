// The counts a report is made of, added up one record at a time. Memory
// grows with the number of stations, ports, causes and their details,
// versions, files and hours, not with the records.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "store/record.h"

struct Counts {
  int64_t ok = 0, failed = 0, stopped = 0;
  double good_seconds = 0;  // summed over the ok records
};

struct PortCounts {
  Counts counts;
  int64_t run = 0;      // failures in a row up to the last record read
  int64_t longest = 0;  // the longest such run
};

using CountsBy = std::map<std::string, Counts, std::less<>>;

// One unit's attempts (ok and failed; a stop is no attempt), with the
// results of its earliest and its latest.
struct UnitCounts {
  int64_t attempts = 0, ok = 0, failed = 0;
  std::string first_time, last_time;
  RecordResult first = kResultOk, last = kResultOk;
};

struct Tally {
  Counts totals;
  std::string first, last;  // the earliest and latest time counted
  CountsBy stations, box_versions, files, hours;
  // Keyed by station, a 0x1f byte, and the port.
  std::map<std::string, PortCounts, std::less<>> ports;
  std::map<std::string, int64_t, std::less<>> causes;
  // The failures' error_detail texts counted by cause, then by text.
  std::map<std::string, std::map<std::string, int64_t, std::less<>>, std::less<>> cause_details;
  std::map<std::string, UnitCounts, std::less<>> units;  // records that name a unit
  int64_t records = 0;
  int64_t skipped_lines = 0;
  std::string scratch;
};

// Counts one record that passed the filter and was not counted before.
// Failure runs follow the order records are added in (a port's records
// come in time order from its journal and from the store).
void tally_add(Tally* t, const Record& r);

// The port key's two halves.
std::string_view tally_port_station(std::string_view key);
std::string_view tally_port_name(std::string_view key);
