// Decisions taken from a PAD file's format code and version word, and the
// version patch.
#pragma once
#include <cstdint>

// Sets sync_mode, await_grant and patch in g_settings from the format code;
// may clear patch and revision.
void apply_format_rules(uint8_t format);

// Sets g_settings.fast_capable; drops a raised speed the image does not
// allow (message 92 on standard error) unless forced.
void check_fast_capable(uint8_t format, uint32_t version);

// Writes `version` into the header's and every unmarked record's version
// word of the first `length` bytes of the image buffer. Never reads or
// writes outside those bytes: a record header that does not fit, or whose
// data length would carry past the end, ends the walk with that record
// left as it is.
void pad_patch_versions(uint32_t length, uint32_t version);
