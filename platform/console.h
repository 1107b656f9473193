// Console input for the dialogues, and the audible signal.
#pragma once
#include <cstddef>

// Reads one byte from standard input. Returns the byte (0..255), or -1 at
// end of input or on error.
int plat_stdin_getc();

// Reads up to and including the next line feed, but at most `max` bytes;
// the rest of a longer line stays unread. Returns the number of bytes
// stored (no terminator added), 0 at end of input.
size_t plat_stdin_read_line(char* buf, size_t max);

// Sounds `freq_hz` for `ms` where the machine can; never writes to stdout.
void plat_beep(unsigned freq_hz, unsigned ms);
