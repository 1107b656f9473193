// Signed runs (--trust): the trust file read at start, and every image
// held to a signature by a trusted key before a byte of it reaches a box.
// Without --trust none of this runs and nothing is looked at.
#pragma once
#include <cstdint>
#include <string>

#include "core/settings.h"

// Reads the trust file --trust names; a file that cannot be read or holds
// no key ends the run (exit 1) before anything else is touched. With
// --trust the file check also takes the file's SHA-256. Nothing without it.
void trust_setup(const RunSettings& s);

// True once trust_setup has read a trust file.
bool trust_on();

// Holds the PAD file the file check just accepted (as read into the image
// buffer) to its signature (--signature, else the file's name + ".sig").
// A missing, malformed, unknown-key or mismatched one ends the run with a
// line naming the reason on standard error (exit 1). Prints the signer on
// standard output for a good one.
void trust_check_file(const RunSettings& s);

// Holds the `size` bytes an update server sent (image buffer from byte 0)
// to `manifest`, the one it answered to 'S'. Returns true for a good one;
// false after the line naming the reason.
bool trust_check_buffer(uint32_t size, const std::string& manifest);
