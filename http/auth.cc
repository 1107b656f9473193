#include "http/auth.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool http_equal_secret(std::string_view a, std::string_view b) {
  // Every byte of the longer is looked at whatever the contents; volatile
  // keeps the compiler from ending the loop at the first difference.
  size_t n = a.size() > b.size() ? a.size() : b.size();
  volatile unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff = diff | (x ^ y);
  }
  return diff == 0;
}

int http_check_bearer(const HttpRequest& r, std::string_view token) {
  if (token.empty()) return 403;
  const std::string* h = http_header(r, "authorization");
  if (h == nullptr) return 401;
  std::string_view v = *h;
  constexpr std::string_view kScheme = "bearer ";
  if (v.size() <= kScheme.size()) return 401;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char c = v[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return 401;
  }
  v.remove_prefix(kScheme.size());
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  return http_equal_secret(v, token) ? 0 : 401;
}

HttpResponse http_auth_refusal(int status) {
  HttpResponse r = http_error(status);
  if (status == 401) r.headers.emplace_back("WWW-Authenticate", "Bearer");
  return r;
}

std::string http_read_token(const std::string& path, std::string* token) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "cannot read the token file " + path + ": " + std::strerror(errno);
  std::string line;
  int ch;
  // One byte past the limit is enough to know the line is too long.
  while (line.size() <= kHttpTokenMax && (ch = std::fgetc(f)) != EOF && ch != '\n')
    line += static_cast<char>(ch);
  std::fclose(f);
  if (line.size() > kHttpTokenMax)
    return "the token file " + path + ": its first line is longer than " +
           std::to_string(kHttpTokenMax) + " bytes";
  size_t a = line.find_first_not_of(" \t\r"), b = line.find_last_not_of(" \t\r");
  if (a == std::string::npos) return "the token file " + path + " has no token on its first line";
  *token = line.substr(a, b + 1 - a);
  return "";
}
