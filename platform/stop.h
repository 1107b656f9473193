// Requests to stop: Ctrl-C, a kill, a closed terminal (SIGINT, SIGTERM,
// SIGHUP; on Windows CTRL_C, CTRL_BREAK and CTRL_CLOSE), the station that
// runs us (SIGUSR1; on Windows the event named in UPDATE_STOP_EVENT), and
// the program itself (plat_stop_raise). The handler only counts the request
// and wakes a waiter. Whatever the stop means (a journal line, the port's
// settings put back) happens outside it, at the next wait, where it is safe
// to do anything.
#pragma once
#include <cstdint>

enum StopSignal { kStopNone = 0, kStopInterrupt, kStopTerminate, kStopHangup, kStopStation };

// Installs the handlers once. Afterwards a blocking wait that a request
// interrupts returns early instead of being restarted, so the caller sees
// the request at once. A reader of our output that goes away is no request:
// on POSIX SIGPIPE is ignored from here on, and such a write fails instead.
void plat_stop_install();

// Records `s` as if its signal had come: counts it, keeps it as the first
// unless one came before, and wakes every wait. Safe in a signal handler.
void plat_stop_raise(StopSignal s);

// The first request that arrived, or kStopNone.
StopSignal plat_stop_signal();

// How many requests arrived so far (a second Ctrl-C can mean "now").
int plat_stop_count();

// The request's conventional name: "SIGINT", "SIGTERM", "SIGHUP" (on
// Windows "CTRL_C", "CTRL_BREAK", "CTRL_CLOSE"), "the station"; "" for
// kStopNone.
const char* plat_stop_name(StopSignal s);

// Something a multiplexing wait can include to wake at each request: the
// read end of a self-pipe on POSIX, an event handle on Windows (auto-reset).
// Once a request came, the pipe stays readable until someone reads it empty
// (plat_wait_handle_drain); a program that ends at the first request never
// does, so each of its later waits wakes at once as well.
intptr_t plat_stop_wait_handle();

// Makes the reader of `f` going away (the far end of the pipe or socket we
// write the event stream to closed) a request as well, kStopHangup, seen
// by every wait that wakes at requests, so a run in a long quiet wait does
// not outlive the one who follows it. One at a time; kNoFile (-1) or a
// file that is no pipe or socket watches nothing. Windows: not watched;
// the next write there fails and raises the request.
void plat_stop_watch_reader(intptr_t f);
