// The three standard descriptors, made safe before a program opens anything.
#pragma once

// Opens the null device onto each of standard input, output and error that
// is closed at start (POSIX: descriptors 0, 1, 2; Windows: the C runtime's
// and the process's standard handles). Otherwise the next socket, pipe or
// file opened would take its number, and text meant for the console would
// go into it. Call first thing in main.
void plat_std_streams_guard();
