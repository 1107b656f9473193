// The update driver: start-up, checks, image preparation and the choice of
// path. Returns only through the exit routine.
#pragma once

int run_update(int argc, char** argv);
