// The exit routine: every end of a run goes through it.
#pragma once

// How an attempt ended: a box updated, a failure, or someone stopped the run
// (Ctrl-C, a kill, a closed terminal) before it could end either way.
enum class RunEnd { kOk, kFailed, kStopped };

// What the run does with its end before the process goes: records it and
// puts back what it changed. Returns false when the record could not be
// kept; the run then fails.
using EndHook = bool (*)(RunEnd end, int code);

// Sets the hook exit_run and exit_stopped call first (nullptr: none).
void set_end_hook(EndHook hook);

// Ends the process with `code`. A code above 0 first prints message 69 and
// " -> ENTER" on standard output and waits for one character on standard
// input (end of input ends the wait).
[[noreturn]] void exit_run(int code);

// Ends the run when a stop was requested: says which request came in which
// phase, records the attempt as stopped and ends with 1, without the ENTER
// pause (whoever stopped the run is not waiting to press a key). Every wait
// without a limit calls it on each round.
void exit_if_stopped();
