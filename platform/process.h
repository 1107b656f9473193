// Child processes for the station: each started with standard input at end
// of file, its output on the null device and a one-way event channel back
// to the parent, in a process group of its own so that the terminal's Ctrl-C
// reaches only the parent, which decides what a stop means for each child.
// Also the few terminal facts the station's live view needs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The parent's end of one child's event channel: a pipe on POSIX (the child
// writes to an inherited descriptor, named /dev/fd/N), a named pipe on
// Windows (the child opens it by name). `path` is what the child is given.
struct PlatChannel {
  intptr_t read_end = -1;
  intptr_t child_end = -1;  // POSIX: the descriptor the child inherits
  intptr_t wait_handle = -1;
  std::string path;
  void* os = nullptr;  // Windows: the pending read's state
};

// Makes a channel. Returns true; false with the last error on failure.
bool plat_channel_open(PlatChannel* ch);

// Reads what has arrived without blocking. Returns the number of bytes (> 0),
// 0 when nothing is there now, -1 once the writer is gone for good.
long plat_channel_read(PlatChannel* ch, char* buf, size_t n);

void plat_channel_close(PlatChannel* ch);

// Tells the channel that its writer's process has ended, so a channel the
// child never opened reads as ended instead of waiting for it.
void plat_channel_writer_ended(PlatChannel* ch);

struct PlatProcess {
  intptr_t id = -1;      // pid, or the process handle on Windows
  intptr_t wait_handle = -1;  // Windows: the process handle; POSIX: -1
  bool ended = false;
  int exit_code = -1;
};

// Starts `argv` (argv[0] a path, or a bare name looked up in PATH) with the
// channel's child end inherited, in a new process group. Returns true; false
// with the last error when the program could not be started.
bool plat_process_start(const std::vector<std::string>& argv, PlatChannel* ch, PlatProcess* p);

// Asks the child to stop: SIGTERM to its group (CTRL_BREAK to its group on
// Windows), which a run of the tool answers at its next wait with its
// journal line written. With `hard` the child is killed outright.
void plat_process_stop(PlatProcess* p, bool hard);

// True once the child has ended, with p->exit_code set (-1 for a child
// killed by a signal). Never blocks.
bool plat_process_poll(PlatProcess* p);

// Sleeps until one of `handles` (channel and stop wait handles; -1 entries
// are skipped) is ready or `timeout_ms` has passed. Returns true when one
// is ready; a request to stop also ends the wait.
bool plat_wait_any(const std::vector<intptr_t>& handles, int timeout_ms);

// A handle another thread sets to end a plat_wait_any at once (the web
// view's control requests): a pipe on POSIX, an auto-reset event on Windows.
struct PlatWake {
  intptr_t wait_handle = -1;  // for plat_wait_any; drain it after a wake
  intptr_t set_end = -1;      // POSIX: the pipe's write end
};

// Makes one. Returns true; false with the last error on failure.
bool plat_wake_open(PlatWake* w);

// Wakes the waiter; from any thread, never blocks.
void plat_wake_set(const PlatWake* w);

// Empties the stop wait handle or a PlatWake's after a wake (the self-pipe
// on POSIX; the Windows event resets itself).
void plat_wait_handle_drain(intptr_t h);

// The directory of the running program, with a trailing separator, or "".
std::string plat_program_dir();

// The name the tool's executable has on this system ("update", "update.exe").
const char* plat_executable_suffix();

// True when a file exists at `path`.
bool plat_file_exists(const std::string& path);

// True when standard output is a terminal that takes the view's escape
// sequences; on Windows this turns on the console's virtual terminal
// processing and is false where the console refuses it.
bool plat_stdout_is_vt();

// The terminal's width in columns, 80 when it cannot be told.
int plat_terminal_columns();
