// PAD files: the check, the loaders and the file name normalisation.
#pragma once
#include <cstdint>

constexpr uint32_t kPadOverhead = 13;  // 9-byte header + 4-byte checksum

// Rewrites a "/cygdrive/x/..." name into "x:..." in place; other names stay.
void normalize_pad_path(char* name);

// Checks a PAD file. Returns the file size S (> 0) of a well-formed file and
// fills `format` and `version`; 0 otherwise, also for anything that is not
// a regular file. A file that cannot fit the image buffer ends the run
// (message 102, exit code 1), unless `too_big` is given: a program that
// outlives one file (the update server) learns it there and goes on. The
// loaders hold later reloads against the file it last accepted.
// `*checksum`, when given, receives the sum stored at the file's end.
uint32_t pad_verify(const char* path, uint8_t* format, uint32_t* version,
                    uint32_t* checksum = nullptr, bool* too_big = nullptr);

// With `on`, pad_verify also takes the SHA-256 of the whole file as it
// reads it, and every later load of that file is held against the digest
// as well as the fingerprint: a signed file's checked bytes are the ones
// that go out. Off (the default) costs nothing.
void pad_take_sha256(bool on);

// The SHA-256 of the file pad_verify last accepted, when it took one.
bool pad_accepted_sha256(uint8_t out[32]);

// What the file check found in an accepted PAD file.
struct PadCheck {
  uint32_t size;      // of the whole file
  uint8_t format;     // format code
  uint32_t version;   // version word
  uint32_t checksum;  // the sum stored at its end
};

// The driver's file check: message 38, pad_verify, message 39 (and exit 1)
// or 40, then the known-format test (message 87, exit 1).
PadCheck pad_file_check(const char* path);

// Checks the PAD file the image buffer holds from byte 0 (`size` bytes an
// update server sent) as pad_file_check checks a file: its length field,
// its checksum and a known format. Prints nothing for a good one. Returns
// true when it may go to the box; false after messages 38 and 39, or 87,
// on standard output.
bool pad_buffer_check(uint32_t size);

// Copies the whole file into the image buffer (nothing when `prefilled`).
// Returns 0 on success, 1 when the file cannot be opened or does not fit,
// or when it is no longer, byte for byte, the file pad_verify last accepted
// under that name (messages 38 and 39 printed then).
int pad_load(const char* path, uint32_t length, bool prefilled);

// Loads like pad_load, then applies pad_patch_versions with `version` over
// the loaded length (`length` when prefilled). Returns 0 or 1 like pad_load.
int pad_load_patched(const char* path, uint32_t length, uint32_t version, bool prefilled);
