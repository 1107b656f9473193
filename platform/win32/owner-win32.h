// Kernel objects only the current user may open (the station's pipes and
// stop events), and random names for them.
#pragma once
#include <windows.h>

#include <string>

// Fills `sa` with a descriptor whose DACL admits the current user alone;
// free it with LocalFree(sa->lpSecurityDescriptor). False when it cannot
// be made.
bool owner_only_attributes(SECURITY_ATTRIBUTES* sa);

// `prefix` followed by 32 random hex digits.
std::string random_name(const char* prefix);
