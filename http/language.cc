#include "http/language.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i])) return false;
  return true;
}

// A q value as the header writes it ("0", "0.8", "1.000"), in thousandths;
// -1 when it is not one.
int q_of(std::string_view v) {
  if (v.empty() || (v[0] != '0' && v[0] != '1')) return -1;
  int whole = v[0] - '0', thousandths = 0, digits = 0;
  if (v.size() > 1) {
    if (v[1] != '.' || v.size() > 5) return -1;
    for (char c : v.substr(2)) {
      if (c < '0' || c > '9') return -1;
      thousandths = thousandths * 10 + (c - '0');
      ++digits;
    }
    while (digits++ < 3) thousandths *= 10;
  }
  int q = whole * 1000 + thousandths;
  return q > 1000 ? -1 : q;
}

}  // namespace

size_t http_pick_language(std::string_view accept, const std::vector<std::string_view>& offered) {
  // Per offered tag, in thousandths: the best of the ranges naming it, -1
  // while none does; and what "*" gives.
  std::vector<int> named(offered.size(), -1);
  int any = -1;
  while (!accept.empty()) {
    size_t comma = accept.find(',');
    std::string_view item = accept.substr(0, comma);
    accept = comma == std::string_view::npos ? std::string_view() : accept.substr(comma + 1);
    size_t semi = item.find(';');
    std::string_view range = trim(item.substr(0, semi));
    int q = 1000;
    while (semi != std::string_view::npos) {
      item.remove_prefix(semi + 1);
      semi = item.find(';');
      std::string_view param = item.substr(0, semi);
      size_t eq = param.find('=');
      if (eq != std::string_view::npos && same_text(trim(param.substr(0, eq)), "q"))
        q = q_of(trim(param.substr(eq + 1)));
    }
    if (range.empty() || q < 0) continue;  // unreadable: as if not there
    if (range == "*") {
      any = std::max(any, q);
      continue;
    }
    std::string_view primary = range.substr(0, range.find('-'));
    for (size_t i = 0; i < offered.size(); ++i)
      if (same_text(primary, offered[i])) named[i] = std::max(named[i], q);
  }
  size_t best = 0;
  int best_q = 0;
  for (size_t i = 0; i < offered.size(); ++i) {
    int q = named[i] >= 0 ? named[i] : any;
    if (q > best_q) {
      best = i;
      best_q = q;
    }
  }
  return best;
}
