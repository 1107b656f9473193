// update-line's command line.
#pragma once
#include <string>

struct LineOptions {
  std::string stations;        // --stations FILE
  std::string db;              // --db STORE
  std::string http;            // --http ADDR:PORT
  int shift_minutes = 6 * 60;  // --shift-start HH:MM, local time
  double min_yield = 0.9;      // --min-yield PERCENT
  bool help = false;
};

// Returns "" or why the command line cannot be used.
std::string parse_line_options(int argc, char** argv, LineOptions* o);

extern const char kLineUsage[];
