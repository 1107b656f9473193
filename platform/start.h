// The start of every program: called first thing in main, before the
// arguments are read or anything is printed.
#pragma once

// Makes `*argc`/`*argv` the program's arguments in UTF-8, the one encoding
// of names inside the programs. POSIX: left as they are. Windows: taken
// from the wide command line, so a name outside the system's code page
// arrives whole; where standard output or error is a console, text printed
// there from now on is shown as UTF-8, any byte that is not UTF-8 as code
// page 1252 (the message catalogue's texts), while output to a file or
// pipe keeps its bytes.
void plat_start(int* argc, char*** argv);

// The environment variable `name` in UTF-8, or nullptr when it is not set.
// The text stays valid until the next call.
const char* plat_getenv(const char* name);
