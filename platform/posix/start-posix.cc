#include "platform/start.h"

#include <cstdlib>

// The arguments and the environment already are the bytes the names have.
void plat_start(int*, char***) {}

const char* plat_getenv(const char* name) { return std::getenv(name); }
