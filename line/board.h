// What the hub knows of its line, kept by the hub's one thread: each
// expected station's last status and link state, its records counted in
// one-minute buckets (so memory grows with stations, not records), and the
// alarms. Pure: every call takes the time.
#pragma once
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct Bucket {
  int64_t ok = 0, failed = 0;
  std::map<std::string, int64_t> causes;
};

struct BoardStation {
  std::string name, url;
  bool followed = true;  // false once dropped from the stations file
  bool up = false;
  double since = 0;                       // when it went up or offline (Unix seconds)
  nlohmann::ordered_json status;          // the station's last status event; null before one
  std::string file_version;               // from its status, else its newest record
  std::map<int64_t, Bucket> minutes;      // by Unix minute of the record's time
  int64_t records = 0;                    // stored by this hub since it started
  int64_t skipped = 0;                    // lines it sent that were not records
  int64_t bad_answers = 0;                // journal answers that were not one
  std::map<std::string, double> pending;  // attempts seen live, not stored yet: when seen
};

struct Alarm {
  std::string id;    // "offline line3-a", "parked line3-a 2", "yield line", "cause TEXT"
  std::string kind;  // offline, parked, yield, cause
  std::string text;  // for people
  double opened = 0, cleared = 0;  // cleared 0 while open
};

struct BoardConfig {
  double min_yield = 0.9;
  int shift_minutes = 6 * 60;  // the shift starts at this local time of day
  int utc_offset_minutes = 0;  // local time minus UTC, for the shift start
};

struct Board {
  BoardConfig config;
  std::vector<BoardStation> stations;  // the stations file's order
  std::vector<Alarm> open, cleared;    // cleared: the last few, newest last
  uint64_t version = 0;                // bumped on every change the page shows
};

constexpr double kOfflineAlarmSeconds = 60;
constexpr int64_t kYieldMinAttempts = 20;
constexpr int64_t kCauseAlarmCount = 10;
constexpr int kCauseAlarmMinutes = 10;

// "2026-12-08T03:24:21.147Z" as Unix seconds; false for another text.
bool board_parse_time(const std::string& text, double* out);
// Unix seconds as a journal time "2026-12-08T03:24:21.147Z".
std::string board_time_text(double t);

// The stations file read again: kept ones keep their state, new ones start
// offline at `now`, dropped ones are no longer shown.
void board_set_stations(Board* b, const std::vector<std::pair<std::string, std::string>>& list,
                        double now);
BoardStation* board_station(Board* b, const std::string& name);

void board_link(Board* b, BoardStation* s, bool up, double now);
void board_status(Board* b, BoardStation* s, const nlohmann::ordered_json& status);
// Counts one record newly stored for `s` (nullptr: a record of no station
// in the file, counted in the line's totals only).
void board_record(Board* b, BoardStation* s, const std::string& time, const std::string& result,
                  const std::string& cause, const std::string& file_version);
// Buckets older than a day go.
void board_prune(Board* b, double now);

// Opens and clears alarms as of `now`; returns those that changed (opened
// or cleared) since the last call.
std::vector<Alarm> board_alarms(Board* b, double now);

// The Unix time the current shift began.
double board_shift_start(const Board& b, double now);

// The line as /api/line and the page show it.
nlohmann::ordered_json board_json(const Board& b, double now);
nlohmann::ordered_json alarm_json(const Alarm& a);

// Prometheus text of the hub's series.
std::string board_metrics(const Board& b, double now);
