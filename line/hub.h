// update-line as a whole: follows the stations of the file, stores their
// records, serves the line's page, API and metrics. Returns the exit code:
// 0 after SIGTERM or SIGINT, 1 when it cannot start, 2 for a usage error.
#pragma once

int line_main(int argc, char** argv);
