// The event channel from a child back to the station: a pipe on POSIX (the
// child writes to an inherited descriptor, named /dev/fd/N), a named pipe
// on Windows (the child opens it by name; a random name only the current
// user may open). `path` is what the child is given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

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
