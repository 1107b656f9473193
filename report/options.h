// The command line of update-report.
#pragma once
#include <string>
#include <vector>

#include "store/filter.h"

struct Options {
  Filter filter;
  bool json = false;
  std::string html;  // empty: no page
  std::string db;    // empty: no store
  std::vector<std::string> journals;
};

extern const char kUsage[];

// Returns false with a message in *err (then: the usage, exit 2).
// `help` is set for --help.
bool options_parse(int argc, char** argv, Options* o, bool* help, std::string* err);
