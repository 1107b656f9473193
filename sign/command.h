// update-sign: release keys and the signatures beside PAD files.
#pragma once
#include <cstdio>

// Runs one command line. Returns the exit code: 0 all done, 1 a file was
// refused or a key could not be made, 2 a usage error.
int sign_command(int argc, char** argv, std::FILE* out, std::FILE* err);
