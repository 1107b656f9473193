// Files: append-only record files (the result journal), and the PAD file
// opened for reading. A record goes out in one write to the end of the
// file, so records of processes sharing the file never mix. Where the
// medium is a file on a disk the record is also pushed to the disk before
// the call returns, so a crash loses at most the record being written; a
// pipe, a terminal or a character device (/dev/null) takes the record as
// the write hands it over, and has nothing to push.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

using plat_file = intptr_t;
constexpr plat_file kNoFile = -1;

// Opens `path` for appending, creating it if missing. The open itself never
// waits: a FIFO that nobody reads fails at once (POSIX: ENXIO) instead of
// hanging the run; writes then wait for the reader as usual. Returns kNoFile
// with the last error on failure.
plat_file plat_append_open(const char* path);

// Appends `n` bytes in one write; on a disk file they are then flushed to
// the disk. Returns true when all `n` bytes were written (and, on a disk
// file, reached it); false with the last error when the write failed or
// was short, or the disk reported a fault while flushing. A medium that
// cannot be flushed (a pipe, a terminal, /dev/null) is no fault. A reader
// of a pipe that went away fails the call (EPIPE) without a signal.
bool plat_append_record(plat_file f, const void* data, size_t n);

void plat_append_close(plat_file f);

// A short text for a last-error value of the file calls.
const char* plat_file_error_text(uint32_t err);

// Opens `path` for binary reading when it names a regular file, links
// followed (the PAD file). Anything else (a FIFO, a device, a directory) is
// refused without an open that could block or touch a device. Returns the
// stream, or nullptr.
std::FILE* plat_open_regular_file(const char* path);

// True when `a` and `b` both name one existing file, by whatever names
// (links, relative paths): the same device and inode (Windows: the same
// volume serial number and file index). False when either is missing or
// cannot be looked at; on Windows also when either names a device, which
// is never opened to find out.
bool plat_same_file(const char* a, const char* b);

// The identity of an open file, the same for every name it has and
// different for a new file under an old name (a rotated journal): device
// and inode (Windows: volume serial number and file index). False when the
// system cannot tell.
bool plat_file_identity(std::FILE* f, uint64_t* volume, uint64_t* index);

// Appends `n` bytes without asking for the disk: a stream of progress lines
// a reader follows live. To a pipe or terminal the bytes go on after a
// signal or a partial write until all are out, so a line is never left
// half written. On a file they go in one write, as plat_append_record's.
// Returns true when all went out; false with the last error.
bool plat_append_write(plat_file f, const void* data, size_t n);

// True when `err`, the last error of a failed write, says the reader of a
// pipe went away (POSIX: EPIPE; Windows: the pipe is being closed or broken).
bool plat_file_reader_gone(uint32_t err);

// std::fopen for a UTF-8 `path` (Windows: through the wide name, so any
// name opens), for the tools that read and write whole files.
std::FILE* plat_fopen(const char* path, const char* mode);

// Creates `path` for writing, readable by its owner only (POSIX: mode
// 0600): a secret key. Refused, nullptr, when anything exists under that
// name, so no key is ever overwritten; nullptr with the last error too on
// any other failure.
std::FILE* plat_create_private(const char* path);
