// update-report as a whole: reads the journals (and the store), prints the
// report. Returns the exit code: 0 a report; 1 a journal or store that
// could not be used, or no record to report on; 2 a usage error.
#pragma once
#include <cstdio>

int report_command(int argc, char** argv, std::FILE* out, std::FILE* err);
