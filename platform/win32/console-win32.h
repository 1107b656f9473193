// Inside the Win32 backend only: console output for the program start.
#pragma once

// Where standard output or error is a console, puts a pipe in its place
// whose text a thread of its own writes to the console as characters
// (plat_console_utf16), until the program exits. Output to a file or a
// pipe is left alone.
void win32_console_start();
