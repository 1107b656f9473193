// What a POSIX wait adds to its poll set so that a stop request, or the
// reader of a watched pipe going away, ends it; plat_stop_signal tells
// which, once the poll returned.
#pragma once
#include <poll.h>

// Fills up to kStopPollFds entries at `pf`; returns how many.
constexpr int kStopPollFds = 2;
int stop_poll_fds(pollfd* pf);
