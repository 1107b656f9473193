// The few terminal facts the station's live view needs, and its output's
// fate: a reader that goes away must not end the station.
#pragma once

// True when standard output is a terminal that takes the view's escape
// sequences; on Windows this turns on the console's virtual terminal
// processing (put back by plat_terminal_restore) and is false where the
// console refuses it.
bool plat_stdout_is_vt();

// Puts back the console mode plat_stdout_is_vt changed (nothing on POSIX).
void plat_terminal_restore();

// The terminal's width in columns, 80 when it cannot be told.
int plat_terminal_columns();

// The terminal's height in rows, 24 when it cannot be told.
int plat_terminal_rows();

// Writes to a pipe whose reader is gone fail (EPIPE) instead of ending the
// process (POSIX: SIGPIPE ignored; children get the default back).
void plat_ignore_broken_pipe();
