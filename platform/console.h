// Console input for the dialogues, the audible signal, and the text a
// console is given for the program's output.
#pragma once
#include <cstddef>
#include <string>

// Reads one byte from standard input. Returns the byte (0..255), or -1 at
// end of input or on error.
int plat_stdin_getc();

// Reads up to and including the next line feed, but at most `max` bytes;
// the rest of a longer line stays unread. Returns the number of bytes
// stored (no terminator added), 0 at end of input.
size_t plat_stdin_read_line(char* buf, size_t max);

// Sounds `freq_hz` for `ms` where the machine can; never writes to stdout.
void plat_beep(unsigned freq_hz, unsigned ms);

// Program output as UTF-16 for a console, which shows text by its
// characters rather than its bytes: appends the text of `n` bytes to `out`.
// Each well-formed UTF-8 sequence is one character (names are UTF-8); any
// other byte is read as code page 1252, the encoding of the message
// catalogue. With `more`, a UTF-8 sequence that is cut off at the end is
// left for the next call, which gets those bytes again first. Returns the
// number of bytes used.
size_t plat_console_utf16(const char* text, size_t n, bool more, std::u16string* out);
