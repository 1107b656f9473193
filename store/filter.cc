#include "store/filter.h"

#include <algorithm>

bool filter_parse_time(std::string_view t, std::string* out) {
  if (!t.empty() && t.back() == 'Z') t.remove_suffix(1);
  // The places a bound may stop after: date, hour, minute, second, then
  // fractions of a second.
  static const char pattern[] = "dddd-dd-ddTdd:dd:dd";
  size_t n = t.size();
  if (n != 10 && n != 13 && n != 16 && n != 19 && n < 21) return false;
  for (size_t i = 0; i < n; ++i) {
    char want = i < 19 ? pattern[i] : (i == 19 ? '.' : 'd');
    bool ok = want == 'd' ? (t[i] >= '0' && t[i] <= '9') : t[i] == want;
    if (!ok) return false;
  }
  out->assign(t);
  return true;
}

bool filter_accepts(const Filter& f, std::string_view time, std::string_view station) {
  // Times compare as text: the journal writes one fixed shape. A prefix
  // sorts before every time it begins, so `since` needs no care; `until`
  // compares the time cut to its own length, which keeps its whole day
  // (or second).
  if (!f.since.empty() && time < std::string_view(f.since)) return false;
  if (!f.until.empty() && time.substr(0, f.until.size()) > std::string_view(f.until)) return false;
  if (!f.stations.empty() &&
      std::find(f.stations.begin(), f.stations.end(), station) == f.stations.end())
    return false;
  return true;
}
