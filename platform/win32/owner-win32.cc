#include "platform/win32/owner-win32.h"

#include <bcrypt.h>
#include <sddl.h>

#include <cstdio>

bool owner_only_attributes(SECURITY_ATTRIBUTES* sa) {
  sa->nLength = sizeof *sa;
  sa->bInheritHandle = FALSE;
  sa->lpSecurityDescriptor = nullptr;
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  char buf[256];
  DWORD n = 0;
  bool ok = GetTokenInformation(token, TokenUser, buf, sizeof buf, &n) != 0;
  CloseHandle(token);
  if (!ok) return false;
  char* sid = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &sid)) return false;
  std::string sddl = std::string("D:P(A;;GA;;;") + sid + ")";
  LocalFree(sid);
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(
             sddl.c_str(), SDDL_REVISION_1, &sa->lpSecurityDescriptor, nullptr) != 0;
}

std::string random_name(const char* prefix) {
  unsigned char bytes[16];
  if (BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    // No random source: the first-instance flag still refuses a squatter.
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    DWORD pid = GetCurrentProcessId();
    for (size_t i = 0; i < sizeof bytes; i++)
      bytes[i] = (unsigned char)((t.QuadPart >> (i % 8 * 8)) ^ (pid >> (i % 4 * 8)) ^ i);
  }
  std::string name = prefix;
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    name += hex;
  }
  return name;
}
