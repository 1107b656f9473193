// Inside the Win32 backend only: a synchronous call on the main thread that
// a stop request may cancel (CancelSynchronousIo), for the waits that have
// no overlapped form in this backend (a serial event wait).
#pragma once

// Call right before the call. Returns false when a request is there
// already: then skip the call (and do not call the end).
bool win32_stop_cancellable_begin();

// Call right after the call returned, before any other I/O, so that no
// cancel meant for the wait can reach a later call.
void win32_stop_cancellable_end();
