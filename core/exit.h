// The exit routine: every end of a run goes through it.
#pragma once

// Ends the process with `code`. A code above 0 first prints message 69 and
// " -> ENTER" on standard output and waits for one character on standard
// input (end of input ends the wait).
[[noreturn]] void exit_run(int code);
