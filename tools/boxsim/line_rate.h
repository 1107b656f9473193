// Reads the line speed the other end of the pseudo-terminal has set.
#pragma once

// The output rate in baud of the terminal behind `fd` as the kernel holds it
// (arbitrary rates included), or 0 when it cannot be read.
unsigned kernel_line_rate(int fd);

// Bits per byte on the wire (start, data, parity and stop bits) as the
// terminal behind `fd` is set, or 0 when it cannot be read.
unsigned kernel_frame_bits(int fd);
