#include "platform/start.h"

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>
#include <vector>

#include "platform/win32/console-win32.h"
#include "platform/win32/utf8-win32.h"

namespace {
std::vector<std::string> g_args;
std::vector<char*> g_argv;
std::string g_env;
}  // namespace

// The C runtime's argv went through the system's code page, where a name
// outside it turns into question marks; the wide command line has it whole.
void plat_start(int* argc, char*** argv) {
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide != nullptr) {
    g_args.clear();
    for (int i = 0; i < n; i++) g_args.push_back(win32_utf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    g_argv.clear();
    for (std::string& a : g_args) g_argv.push_back(a.data());
    g_argv.push_back(nullptr);
    *argc = n;
    *argv = g_argv.data();
  }
  win32_console_start();
}

const char* plat_getenv(const char* name) {
  std::wstring wname = win32_wide(name);
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return nullptr;
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(wname.c_str(), value.data(), n);
  g_env = win32_utf8(value.c_str(), n);
  return g_env.c_str();
}
