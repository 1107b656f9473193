// Which records a report covers: --since, --until (both inclusive) and
// --station.
#pragma once
#include <string>
#include <string_view>
#include <vector>

struct Filter {
  std::string since, until;           // normalised: no trailing Z; empty for no bound
  std::vector<std::string> stations;  // empty: every station
};

// Reads a bound as the journal writes times (2026-12-08T03:24:21.147Z,
// fewer places allowed down to the hour) or a date (2026-12-08). A date or
// time as an upper bound takes in all of its day, second and so on.
// Returns false for any other text.
bool filter_parse_time(std::string_view text, std::string* out);

bool filter_accepts(const Filter& f, std::string_view time, std::string_view station);
