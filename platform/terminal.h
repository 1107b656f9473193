// The few terminal facts the station's live view needs, and its output's
// fate: a reader that goes away must not end the station.
#pragma once
#include <cstddef>
#include <cstdint>

// True when standard output is a terminal that takes the view's escape
// sequences; on Windows this turns on the console's virtual terminal
// processing (put back by plat_terminal_restore) and is false where the
// console refuses it.
bool plat_stdout_is_vt();

// Puts back the console modes plat_stdout_is_vt and plat_scan_open changed.
void plat_terminal_restore();

// The terminal's width in columns, 80 when it cannot be told.
int plat_terminal_columns();

// The terminal's height in rows, 24 when it cannot be told.
int plat_terminal_rows();

// Writes to a pipe whose reader is gone fail (EPIPE) instead of ending the
// process (POSIX: SIGPIPE ignored; children get the default back).
void plat_ignore_broken_pipe();

// Standard input as the lines a barcode scanner types on the station's
// terminal, read without ever blocking the station. With `quiet` and a
// terminal on standard input, what is typed is not echoed (the live view
// shows it instead) until plat_terminal_restore; lines are still edited as
// the terminal does. Returns what a plat_wait_any includes to wake when
// input arrives (Windows: a reader thread's event).
intptr_t plat_scan_open(bool quiet);

// Reads what standard input holds now. Returns the number of bytes (> 0),
// 0 when nothing is there now, -1 at its end or on an error: no more
// comes, and the handle is no longer to be waited on.
long plat_scan_read(char* buf, size_t n);
