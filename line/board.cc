#include "line/board.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "http/prom.h"

using json = nlohmann::ordered_json;

namespace {

constexpr size_t kClearedKept = 50;
constexpr size_t kPendingKept = 10000;
constexpr int64_t kMinutesKept = 26 * 60;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t minute_of(double t) { return static_cast<int64_t>(std::floor(t / 60)); }

Bucket sum_from(const BoardStation& s, int64_t from_minute) {
  Bucket out;
  for (auto it = s.minutes.lower_bound(from_minute); it != s.minutes.end(); ++it) {
    out.ok += it->second.ok;
    out.failed += it->second.failed;
    for (const auto& [cause, n] : it->second.causes) out.causes[cause] += n;
  }
  return out;
}

void add_into(Bucket* into, const Bucket& b) {
  into->ok += b.ok;
  into->failed += b.failed;
  for (const auto& [cause, n] : b.causes) into->causes[cause] += n;
}

double yield_of(const Bucket& b) {
  int64_t n = b.ok + b.failed;
  return n ? static_cast<double>(b.ok) / static_cast<double>(n) : 0;
}

double round1(double v) { return std::round(v * 10) / 10; }

std::vector<std::pair<std::string, int64_t>> by_count(const Bucket& b) {
  std::vector<std::pair<std::string, int64_t>> v(b.causes.begin(), b.causes.end());
  std::stable_sort(v.begin(), v.end(),
                   [](const auto& x, const auto& y) { return x.second > y.second; });
  return v;
}

json counts_json(const Bucket& b, double hours) {
  json j = {{"ok", b.ok},
            {"failed", b.failed},
            {"yield", b.ok + b.failed ? json(round1(yield_of(b) * 1000) / 10) : json(nullptr)},
            {"boxes_per_hour", round1(hours > 0 ? static_cast<double>(b.ok) / hours : 0)}};
  auto causes = by_count(b);
  j["top_cause"] = causes.empty() ? json(nullptr) : json(causes[0].first);
  return j;
}

struct Slots {
  int running = 0, parked = 0, failing = 0;
};

Slots slots_of(const BoardStation& s) {
  Slots out;
  if (!s.status.is_object() || !s.status.contains("slots") || !s.status["slots"].is_array())
    return out;
  for (const json& slot : s.status["slots"]) {
    if (!slot.is_object()) continue;
    std::string state = slot.value("state", "");
    if (state == "parked") out.parked++;
    else if (!state.empty() && state != "done" && state != "waiting") out.running++;
    if (slot.contains("streak") && slot["streak"].is_number() && slot["streak"].get<double>() > 0)
      out.failing++;
  }
  return out;
}

double lag_of(const BoardStation& s, double now) {
  double oldest = now;
  for (const auto& [attempt, seen] : s.pending) oldest = std::min(oldest, seen);
  return std::max(0.0, now - oldest);
}

// The alarms that should be open now, by id.
std::map<std::string, Alarm> wanted(const Board& b, double now) {
  std::map<std::string, Alarm> out;
  auto want = [&](std::string id, std::string kind, std::string text) {
    out[id] = {id, std::move(kind), std::move(text), now, 0};
  };
  int64_t hour = minute_of(now) - 59, recent = minute_of(now) - (kCauseAlarmMinutes - 1);
  Bucket line_hour, line_recent;
  char pct[64];
  for (const BoardStation& s : b.stations) {
    if (!s.followed) continue;
    if (!s.up && now - s.since >= kOfflineAlarmSeconds)
      want("offline " + s.name, "offline", s.name + " offline since " + board_time_text(s.since));
    if (s.status.is_object() && s.status.contains("slots") && s.status["slots"].is_array()) {
      for (const json& slot : s.status["slots"]) {
        if (!slot.is_object() || slot.value("state", "") != "parked") continue;
        std::string n = slot.contains("slot") ? slot["slot"].dump() : "?";
        std::string port = slot.contains("port") && slot["port"].is_string()
                               ? slot["port"].get<std::string>()
                               : "";
        want("parked " + s.name + " " + n, "parked",
             s.name + " slot " + n + (port.empty() ? "" : " (" + port + ")") + " parked");
      }
    }
    Bucket h = sum_from(s, hour);
    add_into(&line_hour, h);
    add_into(&line_recent, sum_from(s, recent));
    if (h.ok + h.failed >= kYieldMinAttempts && yield_of(h) < b.config.min_yield) {
      std::snprintf(pct, sizeof pct, "%.1f%% over the last hour (%lld attempts)", yield_of(h) * 100,
                    static_cast<long long>(h.ok + h.failed));
      want("yield " + s.name, "yield", s.name + " yield " + pct);
    }
  }
  if (line_hour.ok + line_hour.failed >= kYieldMinAttempts &&
      yield_of(line_hour) < b.config.min_yield) {
    std::snprintf(pct, sizeof pct, "%.1f%% over the last hour (%lld attempts)",
                  yield_of(line_hour) * 100,
                  static_cast<long long>(line_hour.ok + line_hour.failed));
    want("yield line", "yield", std::string("line yield ") + pct);
  }
  for (const auto& [cause, n] : line_recent.causes)
    if (n >= kCauseAlarmCount)
      want("cause " + cause, "cause",
           std::to_string(n) + " times in " + std::to_string(kCauseAlarmMinutes) +
               " minutes: " + cause);
  return out;
}

}  // namespace

bool board_parse_time(const std::string& t, double* out) {
  // YYYY-MM-DDTHH:MM:SS[.fff]Z
  if (t.size() < 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':')
    return false;
  auto num = [&](size_t at, size_t n, int* v) {
    *v = 0;
    for (size_t i = at; i < at + n; i++) {
      if (t[i] < '0' || t[i] > '9') return false;
      *v = *v * 10 + (t[i] - '0');
    }
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!num(0, 4, &y) || !num(5, 2, &mo) || !num(8, 2, &d) || !num(11, 2, &h) || !num(14, 2, &mi) ||
      !num(17, 2, &s))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
  double frac = 0;
  size_t at = 19;
  if (t[at] == '.') {
    double scale = 0.1;
    for (at++; at < t.size() && t[at] >= '0' && t[at] <= '9'; at++, scale /= 10)
      frac += (t[at] - '0') * scale;
  }
  if (at + 1 != t.size() || t[at] != 'Z') return false;
  *out = static_cast<double>(
             days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
             h * 3600 + mi * 60 + s) +
         frac;
  return true;
}

std::string board_time_text(double t) {
  int64_t ms = static_cast<int64_t>(std::floor(t * 1000 + 0.5));
  int64_t secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
  int64_t rem = secs - days * 86400;
  // civil_from_days
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = static_cast<int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned d = doy - (153 * mp + 2) / 5 + 1;
  unsigned m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<long long>(y),
                m, d, static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60),
                static_cast<int>(rem % 60), static_cast<int>(ms - secs * 1000));
  return buf;
}

void board_set_stations(Board* b, const std::vector<std::pair<std::string, std::string>>& list,
                        double now) {
  std::vector<BoardStation> next;
  for (const auto& [name, url] : list) {
    BoardStation* old = board_station(b, name);
    if (old) {
      next.push_back(std::move(*old));
      next.back().url = url;
      next.back().followed = true;
    } else {
      BoardStation s;
      s.name = name;
      s.url = url;
      s.since = now;
      next.push_back(std::move(s));
    }
  }
  b->stations = std::move(next);
  b->version++;
}

BoardStation* board_station(Board* b, const std::string& name) {
  for (BoardStation& s : b->stations)
    if (s.name == name) return &s;
  return nullptr;
}

void board_link(Board* b, BoardStation* s, bool up, double now) {
  if (s->up == up) return;
  s->up = up;
  s->since = now;
  b->version++;
}

void board_status(Board* b, BoardStation* s, const json& status) {
  if (!status.is_object()) return;
  s->status = status;
  if (status.contains("file_version") && status["file_version"].is_string())
    s->file_version = status["file_version"].get<std::string>();
  b->version++;
}

void board_record(Board* b, BoardStation* s, const std::string& time, const std::string& result,
                  const std::string& cause, const std::string& file_version) {
  double t;
  if (!s || !board_parse_time(time, &t)) return;
  Bucket& k = s->minutes[minute_of(t)];
  if (result == "ok") k.ok++;
  else if (result == "failed") {
    k.failed++;
    k.causes[cause.empty() ? "-" : cause]++;
  }
  if (!file_version.empty() && file_version != "-" && s->file_version.empty())
    s->file_version = file_version;
  b->version++;
}

void board_prune(Board* b, double now) {
  int64_t keep = minute_of(now) - kMinutesKept;
  for (BoardStation& s : b->stations) {
    s.minutes.erase(s.minutes.begin(), s.minutes.lower_bound(keep));
    while (s.pending.size() > kPendingKept) s.pending.erase(s.pending.begin());
  }
}

std::vector<Alarm> board_alarms(Board* b, double now) {
  std::map<std::string, Alarm> want = wanted(*b, now);
  std::vector<Alarm> changed, still;
  for (Alarm& a : b->open) {
    if (want.erase(a.id)) {
      still.push_back(a);
    } else {
      a.cleared = now;
      changed.push_back(a);
      b->cleared.push_back(a);
    }
  }
  for (auto& [id, a] : want) {
    still.push_back(a);
    changed.push_back(a);
  }
  b->open = std::move(still);
  if (b->cleared.size() > kClearedKept)
    b->cleared.erase(b->cleared.begin(), b->cleared.end() - kClearedKept);
  if (!changed.empty()) b->version++;
  return changed;
}

double board_shift_start(const Board& b, double now) {
  double local = now + b.config.utc_offset_minutes * 60.0;
  double day = std::floor(local / 86400) * 86400;
  double start = day + b.config.shift_minutes * 60.0;
  if (start > local) start -= 86400;
  return start - b.config.utc_offset_minutes * 60.0;
}

json alarm_json(const Alarm& a) {
  return {{"id", a.id},
          {"kind", a.kind},
          {"text", a.text},
          {"opened", board_time_text(a.opened)},
          {"cleared", a.cleared > 0 ? json(board_time_text(a.cleared)) : json(nullptr)}};
}

json board_json(const Board& b, double now) {
  double shift = board_shift_start(b, now);
  int64_t shift_minute = minute_of(shift), hour_minute = minute_of(now) - 59;
  double shift_hours = std::max(now - shift, 60.0) / 3600;
  Bucket line_shift, line_hour;
  json stations = json::array();
  for (const BoardStation& s : b.stations) {
    Bucket sh = sum_from(s, shift_minute), h = sum_from(s, hour_minute);
    add_into(&line_shift, sh);
    add_into(&line_hour, h);
    Slots slots = slots_of(s);
    stations.push_back(
        {{"name", s.name},
         {"url", s.url},
         {"up", s.up},
         {"since", board_time_text(s.since)},
         {"file_version", s.file_version.empty() ? json(nullptr) : json(s.file_version)},
         {"shift", counts_json(sh, shift_hours)},
         {"hour", counts_json(h, 1)},
         {"slots",
          {{"running", slots.running}, {"parked", slots.parked}, {"failing", slots.failing}}},
         {"records", s.records},
         {"skipped", s.skipped},
         {"lag_seconds", round1(lag_of(s, now))}});
  }
  auto causes = [](const Bucket& bk) {
    json out = json::array();
    for (const auto& [cause, n] : by_count(bk)) out.push_back({{"cause", cause}, {"count", n}});
    return out;
  };
  json open = json::array(), cleared = json::array();
  for (const Alarm& a : b.open) open.push_back(alarm_json(a));
  for (auto it = b.cleared.rbegin(); it != b.cleared.rend(); ++it)
    cleared.push_back(alarm_json(*it));
  return {{"time", board_time_text(now)},
          {"shift_start", board_time_text(shift)},
          {"shift", counts_json(line_shift, shift_hours)},
          {"hour", counts_json(line_hour, 1)},
          {"stations", stations},
          {"causes", {{"shift", causes(line_shift)}, {"hour", causes(line_hour)}}},
          {"alarms", open},
          {"cleared", cleared}};
}

std::string board_metrics(const Board& b, double now) {
  std::string out;
  prom_family(&out, "update_line_station_up", "gauge",
              "1 while the hub follows the station's event stream, 0 while it is offline.");
  for (const BoardStation& s : b.stations)
    prom_sample(&out, "update_line_station_up", {{"station", s.name}}, s.up ? 1 : 0);
  prom_family(&out, "update_line_records_total", "counter",
              "Records of the station this hub stored since it started.");
  for (const BoardStation& s : b.stations)
    prom_sample(&out, "update_line_records_total", {{"station", s.name}},
                static_cast<double>(s.records));
  prom_family(
      &out, "update_line_lag_seconds", "gauge",
      "Age of the oldest attempt the station announced that is not stored yet; 0 when none.");
  for (const BoardStation& s : b.stations)
    prom_sample(&out, "update_line_lag_seconds", {{"station", s.name}}, round1(lag_of(s, now)));
  prom_family(&out, "update_line_alarms", "gauge", "Open alarms by kind.");
  for (const char* kind : {"offline", "parked", "yield", "cause"}) {
    int n = 0;
    for (const Alarm& a : b.open) n += a.kind == kind;
    prom_sample(&out, "update_line_alarms", {{"alarm", kind}}, n);
  }
  return out;
}
