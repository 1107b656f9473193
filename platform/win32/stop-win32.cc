#include "platform/stop.h"

#include <windows.h>

namespace {

volatile LONG g_first = kStopNone;
volatile LONG g_count = 0;
HANDLE g_event = nullptr;
HANDLE g_main_thread = nullptr;
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
  InterlockedCompareExchange(&g_first, s, kStopNone);
  InterlockedIncrement(&g_count);
  if (g_event) SetEvent(g_event);
  // A serial event wait without a limit blocks the main thread in the
  // driver; cancel it so the thread sees the request now.
  if (g_main_thread) CancelSynchronousIo(g_main_thread);
  // The system ends the process as soon as a close handler returns: give
  // the main thread the few seconds it is allowed to write its record.
  if (type == CTRL_CLOSE_EVENT) Sleep(4000);
  return TRUE;
}

}  // namespace

void plat_stop_install() {
  if (g_installed) return;
  g_installed = true;
  g_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                       &g_main_thread, 0, FALSE, DUPLICATE_SAME_ACCESS))
    g_main_thread = nullptr;
  SetConsoleCtrlHandler(on_control, TRUE);
}

StopSignal plat_stop_signal() { return static_cast<StopSignal>(g_first); }

int plat_stop_count() { return static_cast<int>(g_count); }

const char* plat_stop_name(StopSignal s) {
  switch (s) {
    case kStopInterrupt: return "CTRL_C";
    case kStopTerminate: return "CTRL_BREAK";
    case kStopHangup: return "CTRL_CLOSE";
    default: return "";
  }
}

intptr_t plat_stop_wait_handle() { return reinterpret_cast<intptr_t>(g_event); }

void plat_stop_reset() {
  InterlockedExchange(&g_first, kStopNone);
  InterlockedExchange(&g_count, 0);
  if (g_event) ResetEvent(g_event);
}
