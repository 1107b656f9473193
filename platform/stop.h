// Requests from outside to stop: Ctrl-C, a kill, a closed terminal
// (SIGINT, SIGTERM, SIGHUP; on Windows CTRL_C, CTRL_BREAK and CTRL_CLOSE).
// The handler only counts the request and wakes a waiter. Whatever the stop
// means (a journal line, the port's settings put back) happens outside it,
// at the next wait, where it is safe to do anything.
#pragma once
#include <cstdint>

enum StopSignal { kStopNone = 0, kStopInterrupt, kStopTerminate, kStopHangup };

// Installs the handlers once. Afterwards a blocking wait that a request
// interrupts returns early instead of being restarted, so the caller sees
// the request at once.
void plat_stop_install();

// The first request that arrived, or kStopNone.
StopSignal plat_stop_signal();

// How many requests arrived so far (a second Ctrl-C can mean "now").
int plat_stop_count();

// The request's conventional name: "SIGINT", "SIGTERM", "SIGHUP" (on
// Windows "CTRL_C", "CTRL_BREAK", "CTRL_CLOSE"); "" for kStopNone.
const char* plat_stop_name(StopSignal s);

// Something a multiplexing wait can include to wake at each request: the
// read end of a self-pipe on POSIX (read it empty after a wake), an event
// handle on Windows (auto-reset).
intptr_t plat_stop_wait_handle();

// Tests only: forget the requests seen so far.
void plat_stop_reset();
