// The tests before a run touches a box: the port opens, the image is
// what it claims to be, and the settings that follow from its format.
#pragma once
#include "core/settings.h"

// Opens and closes the run's COM port once, so a wrong port ends the run
// (message 41) before the image is even read.
void test_open_port(const RunSettings& s);

// The file check of the PAD file (or the server run's pseudo format), the
// format-code rules and the fast check; the file's facts go to the
// attempt's record. Ends the run on a file that fails.
void prepare_image(RunSettings* s);
