// The update driver: start-up, checks, image preparation and the choice of
// path. Returns only through the exit routine.
#pragma once

int run_update(int argc, char** argv);

struct RunSettings;
// Start-up: defaults, revision numbers, unbuffered output, and the language
// and shown name taken from the program's own path.
void start_up(int argc, char** argv, RunSettings* s);
