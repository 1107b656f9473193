// For the fuzz targets: an invariant that does not hold is a finding, so it
// aborts (libFuzzer keeps the input) after saying which one.
#pragma once
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                 \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// The tool's progress and the box's error lines go to standard output;
// thousands of runs a second must not flood the log.
inline void fuzz_quiet_stdout() {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
}
