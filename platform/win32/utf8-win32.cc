#include "platform/win32/utf8-win32.h"

#include <windows.h>

#include <cwchar>

std::wstring win32_wide(const char* utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string win32_utf8(const wchar_t* wide, size_t n) {
  if (n == 0) return std::string();
  int len =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  if (len <= 0) return std::string();
  std::string out(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  return out;
}
