#include "platform/process.h"

#include <windows.h>

#include <cstring>

#include "platform/stop.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

// One overlapped operation at a time: first the wait for the child to open
// the pipe, then reads one after the other.
struct PipeState {
  OVERLAPPED ov;
  HANDLE event;
  bool connected;
  bool pending;      // an operation is in flight
  bool writer_done;  // the child process has ended
  char buf[4096];
  DWORD have, used;
};

LONG g_channels = 0;

// Starts the next read. False once the pipe is broken.
bool start_read(HANDLE h, PipeState* s) {
  s->have = s->used = 0;
  ResetEvent(s->event);
  DWORD n = 0;
  if (ReadFile(h, s->buf, sizeof s->buf, &n, &s->ov)) {
    s->have = n;
    s->pending = false;
    SetEvent(s->event);  // so the next wait returns at once
    return true;
  }
  if (GetLastError() == ERROR_IO_PENDING) {
    s->pending = true;
    return true;
  }
  return false;
}

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

}  // namespace

bool plat_channel_open(PlatChannel* ch) {
  long n = InterlockedIncrement(&g_channels);
  std::string name = "\\\\.\\pipe\\update-station-" + std::to_string(GetCurrentProcessId()) +
                     "-" + std::to_string(n);
  HANDLE h = CreateNamedPipeA(name.c_str(),
                              PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED |
                                  FILE_FLAG_FIRST_PIPE_INSTANCE,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 65536, 0,
                              nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  PipeState* s = new PipeState();
  s->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s->ov.hEvent = s->event;
  if (ConnectNamedPipe(h, &s->ov)) {
    s->connected = true;
  } else {
    DWORD e = GetLastError();
    if (e == ERROR_PIPE_CONNECTED) s->connected = true;
    else if (e == ERROR_IO_PENDING) s->pending = true;
    else {
      CloseHandle(s->event);
      CloseHandle(h);
      delete s;
      return false;
    }
  }
  if (s->connected) start_read(h, s);
  ch->read_end = reinterpret_cast<intptr_t>(h);
  ch->wait_handle = reinterpret_cast<intptr_t>(s->event);
  ch->child_end = -1;
  ch->path = name;
  ch->os = s;
  return true;
}

long plat_channel_read(PlatChannel* ch, char* buf, size_t n) {
  PipeState* s = static_cast<PipeState*>(ch->os);
  if (!s) return -1;
  HANDLE h = reinterpret_cast<HANDLE>(ch->read_end);
  if (s->pending) {
    DWORD got = 0;
    if (!GetOverlappedResult(h, &s->ov, &got, FALSE)) {
      DWORD e = GetLastError();
      if (e == ERROR_IO_INCOMPLETE) {
        // A child that ended without opening the pipe never will.
        if (!s->connected && s->writer_done) return -1;
        return 0;
      }
      if (!s->connected && e == ERROR_PIPE_CONNECTED) {
        got = 0;
      } else {
        return -1;  // broken pipe: the writer closed it
      }
    }
    s->pending = false;
    if (!s->connected) {
      s->connected = true;
      if (!start_read(h, s)) return -1;
      return 0;
    }
    s->have = got;
    s->used = 0;
  }
  if (s->used < s->have) {
    size_t take = s->have - s->used;
    if (take > n) take = n;
    std::memcpy(buf, s->buf + s->used, take);
    s->used += take;
    if (s->used == s->have && !start_read(h, s)) s->writer_done = true;
    return (long)take;
  }
  if (!s->pending && !start_read(h, s)) return -1;
  return 0;
}

void plat_channel_close(PlatChannel* ch) {
  PipeState* s = static_cast<PipeState*>(ch->os);
  HANDLE h = reinterpret_cast<HANDLE>(ch->read_end);
  if (s) {
    if (s->pending) {
      CancelIo(h);
      DWORD got;
      GetOverlappedResult(h, &s->ov, &got, TRUE);
    }
    CloseHandle(s->event);
    delete s;
  }
  if (ch->read_end != -1) CloseHandle(h);
  ch->os = nullptr;
  ch->read_end = ch->wait_handle = -1;
}

bool plat_process_start(const std::vector<std::string>& argv, PlatChannel* ch, PlatProcess* p) {
  (void)ch;  // the child opens the pipe by its name
  std::string line;
  for (const std::string& a : argv) {
    if (!line.empty()) line += ' ';
    line += quote(a);
  }
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE null_in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE null_out = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = null_out;
  si.hStdError = null_out;
  PROCESS_INFORMATION pi = {};
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back('\0');
  BOOL ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE,
                           CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
  DWORD err = GetLastError();
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  if (!ok) {
    SetLastError(err);
    return false;
  }
  CloseHandle(pi.hThread);
  p->id = reinterpret_cast<intptr_t>(pi.hProcess);
  p->wait_handle = p->id;
  p->ended = false;
  p->exit_code = -1;
  return true;
}

void plat_process_stop(PlatProcess* p, bool hard) {
  if (p->id == -1 || p->ended) return;
  HANDLE h = reinterpret_cast<HANDLE>(p->id);
  if (hard || !GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(h)))
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
  p->exit_code = (int)code;
  return true;
}

void plat_channel_writer_ended(PlatChannel* ch) {
  PipeState* s = static_cast<PipeState*>(ch->os);
  if (s) s->writer_done = true;
}

bool plat_wait_any(const std::vector<intptr_t>& handles, int timeout_ms) {
  HANDLE hs[MAXIMUM_WAIT_OBJECTS];
  DWORD n = 0;
  for (intptr_t h : handles)
    if (h != -1 && h != 0 && n < MAXIMUM_WAIT_OBJECTS) hs[n++] = reinterpret_cast<HANDLE>(h);
  if (n == 0) {
    Sleep(timeout_ms);
    return false;
  }
  DWORD r = WaitForMultipleObjects(n, hs, FALSE, timeout_ms);
  return r < WAIT_OBJECT_0 + n;
}

std::string plat_program_dir() {
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return "";
  std::string path(buf, n);
  size_t sep = path.find_last_of("\\/");
  return sep == std::string::npos ? "" : path.substr(0, sep + 1);
}

const char* plat_executable_suffix() { return ".exe"; }

bool plat_file_exists(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool plat_stdout_is_vt() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int plat_terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
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

void plat_wait_handle_drain(intptr_t) {}
