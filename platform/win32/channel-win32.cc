#include "platform/channel.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/owner-win32.h"

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

}  // namespace

bool plat_channel_open(PlatChannel* ch) {
  // A name nobody can guess, made here first, that only this user may
  // open: no other process can take the run's place as the writer.
  std::string name = random_name("\\\\.\\pipe\\update-station-");
  SECURITY_ATTRIBUTES sa;
  if (!owner_only_attributes(&sa)) return false;
  HANDLE h = CreateNamedPipeA(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536, 0,
      &sa);
  DWORD err = GetLastError();
  LocalFree(sa.lpSecurityDescriptor);
  if (h == INVALID_HANDLE_VALUE) {
    SetLastError(err);
    return false;
  }
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

void plat_channel_writer_ended(PlatChannel* ch) {
  PipeState* s = static_cast<PipeState*>(ch->os);
  if (s) s->writer_done = true;
}
