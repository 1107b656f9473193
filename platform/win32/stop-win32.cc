#include "platform/stop.h"

#include <windows.h>

#include "platform/win32/stop-win32.h"

namespace {

volatile LONG g_first = kStopNone;
volatile LONG g_count = 0;
HANDLE g_event = nullptr;      // auto-reset: what multiplexing waits include
HANDLE g_requested = nullptr;  // manual-reset: wakes the stop thread
HANDLE g_station = nullptr;    // the station's event, when it gave one
HANDLE g_main_thread = nullptr;
SRWLOCK g_wait_lock = SRWLOCK_INIT;
bool g_in_wait = false;  // the main thread is in a cancellable call
bool g_installed = false;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI on_control(DWORD type) {
  StopSignal s;
  switch (type) {
    case CTRL_C_EVENT: s = kStopInterrupt; break;
    case CTRL_BREAK_EVENT: s = kStopTerminate; break;
    case CTRL_CLOSE_EVENT: s = kStopHangup; break;
    default: return FALSE;
  }
  plat_stop_raise(s);
  // The system ends the process as soon as a close handler returns: give
  // the main thread the few seconds it is allowed to write its record.
  if (type == CTRL_CLOSE_EVENT) Sleep(4000);
  return TRUE;
}

// Turns the station's event into a request, then keeps cancelling the
// main thread's serial wait until the thread has left it: a cancel that
// lands just before the wait begins would be lost, so it is repeated.
DWORD WINAPI stop_thread(void*) {
  HANDLE h[2] = {g_requested, g_station};
  DWORD r = WaitForMultipleObjects(g_station ? 2 : 1, h, FALSE, INFINITE);
  if (r == WAIT_OBJECT_0 + 1) plat_stop_raise(kStopStation);
  else if (r != WAIT_OBJECT_0) return 0;
  for (;;) {
    AcquireSRWLockExclusive(&g_wait_lock);
    if (g_in_wait) CancelSynchronousIo(g_main_thread);
    ReleaseSRWLockExclusive(&g_wait_lock);
    Sleep(10);
  }
}

}  // namespace

void plat_stop_install() {
  if (g_installed) return;
  g_installed = true;
  g_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_requested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread,
                       0, FALSE, DUPLICATE_SAME_ACCESS))
    g_main_thread = nullptr;
  // The station stops a run through an event of its own: console events
  // fail where it has no console, and would reach a box mid-download.
  char name[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("UPDATE_STOP_EVENT", name, sizeof name);
  if (n > 0 && n < sizeof name) g_station = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (g_requested && g_main_thread) {
    HANDLE t = CreateThread(nullptr, 0, stop_thread, nullptr, 0, nullptr);
    if (t) CloseHandle(t);
  }
  SetConsoleCtrlHandler(on_control, TRUE);
}

void plat_stop_raise(StopSignal s) {
  InterlockedCompareExchange(&g_first, s, kStopNone);
  InterlockedIncrement(&g_count);
  if (g_event) SetEvent(g_event);
  if (g_requested) SetEvent(g_requested);
}

StopSignal plat_stop_signal() { return static_cast<StopSignal>(g_first); }

int plat_stop_count() { return static_cast<int>(g_count); }

const char* plat_stop_name(StopSignal s) {
  switch (s) {
    case kStopInterrupt: return "CTRL_C";
    case kStopTerminate: return "CTRL_BREAK";
    case kStopHangup: return "CTRL_CLOSE";
    case kStopStation: return "the station";
    default: return "";
  }
}

intptr_t plat_stop_wait_handle() { return reinterpret_cast<intptr_t>(g_event); }

bool win32_stop_cancellable_begin() {
  AcquireSRWLockExclusive(&g_wait_lock);
  g_in_wait = true;
  ReleaseSRWLockExclusive(&g_wait_lock);
  // Looked at only now: a request from here on finds the flag set.
  if (plat_stop_signal() == kStopNone) return true;
  win32_stop_cancellable_end();
  return false;
}

void win32_stop_cancellable_end() {
  AcquireSRWLockExclusive(&g_wait_lock);
  g_in_wait = false;
  ReleaseSRWLockExclusive(&g_wait_lock);
}

// A pipe's write end cannot be waited on for its reader on Windows; the
// stream's next write notices instead.
void plat_stop_watch_reader(intptr_t) {}
