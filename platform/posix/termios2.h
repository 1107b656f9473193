// Line speeds outside the Bxxx constants. The kernel's termios2 interface
// cannot share a translation unit with <termios.h>, so it lives apart.
#pragma once
#include <cstdint>

// Sets input and output speed of `fd` to exactly `baud`. Returns 0 on
// success, else the errno value.
int termios2_set_baud(int fd, uint32_t baud);

// Reads the output speed of `fd` as a plain number, whatever way it was set.
// Returns 0 on success, else the errno value.
int termios2_get_baud(int fd, uint32_t* baud);
