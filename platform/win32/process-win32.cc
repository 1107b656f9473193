#include "platform/process.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/owner-win32.h"
#include "platform/win32/utf8-win32.h"

namespace {

// Every run lives in this job, which kills them all when its last handle,
// the station's, closes: however the station ends.
HANDLE runs_job() {
  static HANDLE job = [] {
    HANDLE j = CreateJobObjectA(nullptr, nullptr);
    if (j) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION info = {};
      info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(j, JobObjectExtendedLimitInformation, &info, sizeof info);
    }
    return j;
  }();
  return job;
}

// What a run holds beside its process handle.
struct RunHandles {
  HANDLE stop_event;
};

// A command line that the C runtime of the child splits back into `argv`.
std::string quote(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : a) {
    if (c == '\\') {
      slashes++;
      continue;
    }
    if (c == '"') out.append(slashes * 2 + 1, '\\');
    else out.append(slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  return out + "\"";
}

void close_handle(HANDLE* h) {
  if (*h && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
  *h = nullptr;
}

}  // namespace

bool plat_process_start(const std::vector<std::string>& argv, PlatChannel* ch, PlatProcess* p) {
  (void)ch;  // the child opens the pipe by its name
  *p = PlatProcess();
  std::string line;
  for (const std::string& a : argv) {
    if (!line.empty()) line += ' ';
    line += quote(a);
  }
  // The run's stop request: an event of its own, named to it in the
  // environment, that only this user may open.
  std::string stop_name = random_name("Local\\update-station-stop-");
  SECURITY_ATTRIBUTES owner;
  if (!owner_only_attributes(&owner)) return false;
  HANDLE stop = CreateEventA(&owner, TRUE, FALSE, stop_name.c_str());
  DWORD err = GetLastError();
  LocalFree(owner.lpSecurityDescriptor);
  if (!stop) {
    SetLastError(err);
    return false;
  }
  if (err == ERROR_ALREADY_EXISTS) {
    CloseHandle(stop);
    SetLastError(err);
    return false;
  }
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE null_in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE null_out = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                OPEN_EXISTING, 0, nullptr);
  HANDLE err_read = nullptr, err_write = nullptr;
  BOOL ok = null_in != INVALID_HANDLE_VALUE && null_out != INVALID_HANDLE_VALUE &&
            CreatePipe(&err_read, &err_write, &sa, 65536);
  if (ok) SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  // The child inherits these three and nothing else the station holds.
  HANDLE inherit[3] = {null_in, null_out, err_write};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attr_buf(size);
  auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_buf.data());
  ok = ok && InitializeProcThreadAttributeList(attrs, 1, 0, &size) &&
       UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                 sizeof inherit, nullptr, nullptr);
  STARTUPINFOEXW si = {};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = null_in;
  si.StartupInfo.hStdOutput = null_out;
  si.StartupInfo.hStdError = err_write;
  si.lpAttributeList = attrs;
  PROCESS_INFORMATION pi = {};
  // The arguments are UTF-8; the child takes them from the wide command line.
  std::wstring cmd = win32_wide(line.c_str());
  // No console of its own: the console's events (Ctrl-C, Ctrl-Break) reach
  // the station alone, which decides what each run hears.
  if (ok) {
    SetEnvironmentVariableA("UPDATE_STOP_EVENT", stop_name.c_str());
    ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE,
                        CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS | CREATE_SUSPENDED |
                            EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, nullptr, &si.StartupInfo, &pi);
    err = GetLastError();
    SetEnvironmentVariableA("UPDATE_STOP_EVENT", nullptr);
  } else {
    err = GetLastError();
  }
  if (size) DeleteProcThreadAttributeList(attrs);
  close_handle(&null_in);
  close_handle(&null_out);
  close_handle(&err_write);
  if (!ok) {
    close_handle(&err_read);
    CloseHandle(stop);
    SetLastError(err);
    return false;
  }
  HANDLE job = runs_job();
  if (job) AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  p->id = reinterpret_cast<intptr_t>(pi.hProcess);
  p->wait_handle = p->id;
  p->err_read = reinterpret_cast<intptr_t>(err_read);
  p->os = new RunHandles{stop};
  return true;
}

void plat_process_stop(PlatProcess* p, bool hard) {
  if (p->id == -1 || p->ended) return;
  HANDLE h = reinterpret_cast<HANDLE>(p->id);
  auto* run = static_cast<RunHandles*>(p->os);
  if (!hard && run && SetEvent(run->stop_event)) return;
  p->killed = true;
  TerminateProcess(h, 1);
}

bool plat_process_poll(PlatProcess* p) {
  if (p->ended) return true;
  if (p->id == -1) return false;
  HANDLE h = reinterpret_cast<HANDLE>(p->id);
  if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 1;
  GetExitCodeProcess(h, &code);
  CloseHandle(h);
  p->id = p->wait_handle = -1;
  p->ended = true;
  p->exit_code = p->killed ? -1 : (int)code;
  return true;
}

// An anonymous pipe has no overlapped reads: looked into, never waited on.
// The station's loop comes round often enough for the little a run says.
long plat_process_read_err(PlatProcess* p, char* buf, size_t n) {
  if (p->err_read == -1) return -1;
  HANDLE h = reinterpret_cast<HANDLE>(p->err_read);
  DWORD avail = 0;
  if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return -1;
  if (avail == 0) return 0;
  DWORD got = 0;
  if (!ReadFile(h, buf, avail < n ? avail : (DWORD)n, &got, nullptr)) return -1;
  return (long)got;
}

void plat_process_release(PlatProcess* p) {
  if (p->err_read != -1) CloseHandle(reinterpret_cast<HANDLE>(p->err_read));
  p->err_read = p->err_wait = -1;
  auto* run = static_cast<RunHandles*>(p->os);
  if (run) {
    CloseHandle(run->stop_event);
    delete run;
  }
  p->os = nullptr;
}

// More than MAXIMUM_WAIT_OBJECTS handles are looked at in groups, round
// after round, until one is ready or the time is up: none is left out.
bool plat_wait_any(const std::vector<intptr_t>& handles, int timeout_ms) {
  std::vector<HANDLE> hs;
  for (intptr_t h : handles)
    if (h != -1 && h != 0) hs.push_back(reinterpret_cast<HANDLE>(h));
  if (hs.empty()) {
    Sleep(timeout_ms);
    return false;
  }
  if (hs.size() <= MAXIMUM_WAIT_OBJECTS) {
    DWORD r = WaitForMultipleObjects((DWORD)hs.size(), hs.data(), FALSE, timeout_ms);
    return r < WAIT_OBJECT_0 + hs.size();
  }
  ULONGLONG deadline = GetTickCount64() + (ULONGLONG)timeout_ms;
  for (;;) {
    for (size_t at = 0; at < hs.size(); at += MAXIMUM_WAIT_OBJECTS) {
      DWORD n =
          (DWORD)(hs.size() - at < MAXIMUM_WAIT_OBJECTS ? hs.size() - at : MAXIMUM_WAIT_OBJECTS);
      DWORD r = WaitForMultipleObjects(n, hs.data() + at, FALSE, 0);
      if (r < WAIT_OBJECT_0 + n) return true;
    }
    ULONGLONG t = GetTickCount64();
    if (t >= deadline) return false;
    Sleep(deadline - t < 5 ? (DWORD)(deadline - t) : 5);
  }
}

void plat_wait_handle_drain(intptr_t) {}

std::string plat_program_dir() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "";
  std::string path = win32_utf8(buf, n);
  size_t sep = path.find_last_of("\\/");
  return sep == std::string::npos ? "" : path.substr(0, sep + 1);
}

const char* plat_executable_suffix() { return ".exe"; }

bool plat_file_exists(const std::string& path) {
  DWORD a = GetFileAttributesW(win32_wide(path.c_str()).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool plat_program_runnable(const std::string& program) {
  if (program.find_first_of("\\/:") != std::string::npos) {
    if (plat_file_exists(program) || plat_file_exists(program + ".exe")) return true;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  wchar_t found[MAX_PATH];
  return SearchPathW(nullptr, win32_wide(program.c_str()).c_str(), L".exe", MAX_PATH, found,
                     nullptr) != 0;
}

bool plat_wake_open(PlatWake* w) {
  HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!e) return false;
  w->wait_handle = reinterpret_cast<intptr_t>(e);
  return true;
}

void plat_wake_set(const PlatWake* w) {
  if (w->wait_handle != -1) SetEvent(reinterpret_cast<HANDLE>(w->wait_handle));
}

void plat_wake_close(PlatWake* w) {
  if (w->wait_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(w->wait_handle));
  w->wait_handle = -1;
}
