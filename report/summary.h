// A tally put in the order the outputs show it: totals with their ratios,
// and every table's rows sorted.
#pragma once
#include <string>
#include <vector>

#include "store/tally.h"

struct Row {
  std::string label;   // station, box version, "version checksum", hour
  std::string label2;  // ports: the port
  Counts counts;
  int64_t longest = 0;  // ports: the longest run of failures
};

struct Detail {
  std::string text;
  int64_t count = 0;
};

// A cause's failures by their error_detail: the most frequent texts, most
// first (ties by text), and what the others add up to.
constexpr size_t kCauseDetails = 3;
struct CauseRow {
  std::string cause;
  int64_t count = 0;
  double share = 0, running = 0;  // of all failures, 0..1
  std::vector<Detail> details;    // at most kCauseDetails
  int64_t other_details = 0;      // texts beyond them
  int64_t other_count = 0;        // ... and their failures
};

struct UnitRow {
  std::string unit;
  int64_t attempts = 0, ok = 0, failed = 0;
  RecordResult last = kResultOk;
};

// Units: only where records name them.
constexpr size_t kUnitRows = 10;  // the units that needed most attempts
struct UnitSummary {
  int64_t units = 0;
  int64_t first_pass = 0;  // good at their first attempt
  int64_t final_good = 0;  // good at their last
  int64_t retested = 0;    // units with more than one attempt
  int64_t retests = 0;     // attempts beyond each unit's first
  double first_pass_yield = 0, final_yield = 0;
  std::vector<UnitRow> most_attempts;  // retested units, most attempts first
};

struct Summary {
  std::string first, last;
  Counts totals;
  double yield = 0;           // ok / attempts; 0 without attempts
  double boxes_per_hour = 0;  // ok boxes over the hours with records
  double mean_good_seconds = 0;
  std::vector<Row> stations, ports, box_versions, files, hours;
  std::vector<CauseRow> causes;  // most first
  bool cause_details = false;    // some cause has a detail
  UnitSummary units;
  int64_t records = 0, skipped_lines = 0;
};

int64_t attempts(const Counts& c);
double yield_of(const Counts& c);
double mean_good_of(const Counts& c);

Summary summarize(const Tally& t);
