// Inside the Win32 backend only: the program keeps every text in UTF-8;
// the system's wide (UTF-16) calls take and give names through these.
#pragma once
#include <cstddef>
#include <string>

// `utf8` as UTF-16 for a wide call.
std::wstring win32_wide(const char* utf8);

// `n` UTF-16 units from a wide call as UTF-8.
std::string win32_utf8(const wchar_t* wide, size_t n);
