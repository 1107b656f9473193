// A tally put in the order the outputs show it: totals with their ratios,
// and every table's rows sorted.
#pragma once
#include <string>
#include <vector>

#include "report/tally.h"

struct Row {
  std::string label;   // station, box version, "version checksum", hour
  std::string label2;  // ports: the port
  Counts counts;
  int64_t longest = 0;  // ports: the longest run of failures
};

struct CauseRow {
  std::string cause;
  int64_t count = 0;
  double share = 0, running = 0;  // of all failures, 0..1
};

struct Summary {
  std::string first, last;
  Counts totals;
  double yield = 0;           // ok / attempts; 0 without attempts
  double boxes_per_hour = 0;  // ok boxes over the hours with records
  double mean_good_seconds = 0;
  std::vector<Row> stations, ports, box_versions, files, hours;
  std::vector<CauseRow> causes;  // most first
  int64_t records = 0, skipped_lines = 0;
};

int64_t attempts(const Counts& c);
double yield_of(const Counts& c);
double mean_good_of(const Counts& c);

Summary summarize(const Tally& t);
