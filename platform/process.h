// Child processes for the station: each started with standard input at end
// of file, standard output on the null device, standard error on a pipe the
// parent keeps the last lines of, and a one-way event channel back to the
// parent (platform/channel.h). Each child lives in a process group of its
// own so that the terminal's Ctrl-C reaches only the parent, which decides
// what a stop means for each child, and no child outlives the parent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/channel.h"

struct PlatProcess {
  intptr_t id = -1;           // pid, or the process handle on Windows
  intptr_t wait_handle = -1;  // Windows: the process handle; POSIX: -1
  intptr_t err_read = -1;     // the parent's end of the child's standard error
  intptr_t err_wait = -1;     // what a wait includes for it (-1 once it ended)
  bool ended = false;
  bool killed = false;  // the parent killed it outright
  int exit_code = -1;   // -1 for a child killed by a signal or by the parent
  void* os = nullptr;   // Windows: the stop event and the job
};

// Starts `argv` (argv[0] a path, or a bare name looked up in PATH) with the
// channel's child end inherited, in a new process group. Returns true; false
// with the last error when the program could not be started.
bool plat_process_start(const std::vector<std::string>& argv, PlatChannel* ch, PlatProcess* p);

// Asks the child to stop: SIGUSR1 to its group on POSIX; on Windows the
// child's own stop event, named to it in UPDATE_STOP_EVENT. A run of the
// tool answers at its next wait with its journal line written. With `hard`
// the child is killed outright.
void plat_process_stop(PlatProcess* p, bool hard);

// True once the child has ended, with p->exit_code set. Never blocks.
bool plat_process_poll(PlatProcess* p);

// Reads what the child wrote to its standard error without blocking.
// Returns the number of bytes (> 0), 0 when nothing is there now, -1 once
// the child's end is closed.
long plat_process_read_err(PlatProcess* p, char* buf, size_t n);

// Lets go of the child's handles once it has ended and been read.
void plat_process_release(PlatProcess* p);

// Sleeps until one of `handles` (channel, process and stop wait handles; -1
// entries are skipped) is ready or `timeout_ms` has passed, however many
// there are. Returns true when one is ready; a request to stop also ends
// the wait.
bool plat_wait_any(const std::vector<intptr_t>& handles, int timeout_ms);

// A handle another thread sets to end a plat_wait_any at once (the web
// view's control requests): a pipe on POSIX, an auto-reset event on Windows.
struct PlatWake {
  intptr_t wait_handle = -1;  // for plat_wait_any; drain it after a wake
  intptr_t set_end = -1;      // POSIX: the pipe's write end
};

// Makes one. Returns true; false with the last error on failure (nothing
// is left open then).
bool plat_wake_open(PlatWake* w);

// Closes what plat_wake_open made; a closed or never opened one is left as
// it is. No one may set or wait on it after.
void plat_wake_close(PlatWake* w);

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

// True when `program` (a path, or a bare name looked up in PATH as a start
// would) names a file this process may run.
bool plat_program_runnable(const std::string& program);
