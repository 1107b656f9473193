// stopevent: plays the station's side of a stop on Windows, for the checks
// under Wine. Makes a named event, starts PROGRAM with its name in
// UPDATE_STOP_EVENT, signals the event after MS milliseconds and waits for
// the program. Prints "stopped after N ms" (from the signal to the
// program's end) on standard error; exits with the program's exit code, or
// 125 when it did not end within 10 s.
//   stopevent MS PROGRAM [ARGS...]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: stopevent MS PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\update-stop-%lu-%lu", GetCurrentProcessId(),
                GetTickCount());
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, name);
  if (ev == nullptr || !SetEnvironmentVariableA("UPDATE_STOP_EVENT", name)) {
    std::fputs("stopevent: cannot make the event\n", stderr);
    return 2;
  }
  std::string line;
  for (int i = 2; i < argc; i++) line += std::string(i > 2 ? " \"" : "\"") + argv[i] + "\"";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "stopevent: cannot start %s\n", argv[2]);
    return 2;
  }
  Sleep(static_cast<DWORD>(std::atol(argv[1])));
  DWORD t0 = GetTickCount();
  SetEvent(ev);
  if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 1);
    std::fputs("stopevent: the program did not stop\n", stderr);
    return 125;
  }
  std::fprintf(stderr, "stopped after %lu ms\n", GetTickCount() - t0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  return static_cast<int>(code);
}
