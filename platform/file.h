// Files: append-only record files (the result journal), and the PAD file
// opened for reading. A record goes out in one write to the end of the file
// and is on the disk before the call returns, so records of processes
// sharing the file never mix, and a crash loses at most the record being
// written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

using plat_file = intptr_t;
constexpr plat_file kNoFile = -1;

// Opens `path` for appending, creating it if missing. Returns kNoFile with
// the last error on failure.
plat_file plat_append_open(const char* path);

// Appends `n` bytes in one write and flushes them to the disk. Returns true
// when all went out and reached the disk; false with the last error.
bool plat_append_record(plat_file f, const void* data, size_t n);

void plat_append_close(plat_file f);

// A short text for a last-error value of the file calls.
const char* plat_file_error_text(uint32_t err);

// Opens `path` for binary reading when it names a regular file, links
// followed (the PAD file). Anything else (a FIFO, a device, a directory) is
// refused without an open that could block or touch a device. Returns the
// stream, or nullptr.
std::FILE* plat_open_regular_file(const char* path);
