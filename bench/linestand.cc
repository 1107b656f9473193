// linestand: a line of stand-in stations for the hub's rows of `make bench`,
// each serving its journal through the station's own journal feed and
// HTTP server (events with its status and an `attempt` per record), all
// on one thread, on loopback.
//   linestand serve DIR STATIONS RECORDS [PER_MINUTE SECONDS]
//       writes DIR/line-N.jsonl (RECORDS records over STATIONS journals)
//       and DIR/stations, then serves them; prints "ready" once listening.
//       With PER_MINUTE, once DIR/hub names the hub's port, each station
//       adds a record that often (its own phase) for SECONDS while it
//       follows the hub's /api/events and reads its store DIR/line.db; at
//       the end it prints
//       "<records> <store lag p99 ms> <page lag p99 ms> <line events/s>
//       <shortest gap between two line events, ms>" and exits.
//   linestand count DB N SECONDS
//       waits until the store DB holds N records; prints the seconds taken
//       from its start, or exits 1 after SECONDS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/journal.h"
#include "http/response.h"
#include "http/server.h"
#include "station/journal_feed.h"
#include "station/status.h"

namespace {

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string utc_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  gmtime_r(&ts.tv_sec, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
  return buf;
}

// One record as the tool writes it (about 450 bytes), 95% good.
std::string record(const std::string& time, const std::string& station, int port, double r,
                   const std::string& attempt) {
  char buf[1024];
  bool ok = r < 0.95;
  std::snprintf(buf, sizeof buf,
                "{\"time\":\"%s\",\"tool\":\"update 3.6-25\",\"mode\":\"serial\",\"port\":%d,"
                "\"file\":\"/srv/line3/software/released/23.0/box-23.0-release-candidate-2-"
                "signed.pad\",\"file_size\":4194304,\"file_checksum\":\"0057b1ae\",\"format\":21,"
                "\"file_version\":\"23.0\",\"box_version\":\"23.0\",\"patched\":false,"
                "\"line_speed\":921600,\"bytes_sent\":%d,\"seconds\":%.3f,\"result\":\"%s\","
                "\"exit_code\":%d%s,\"station\":\"%s\",\"attempt\":\"%s\"}",
                time.c_str(), port, ok ? 4194304 : static_cast<int>(r * 4194304),
                ok ? 14 + r * 4 : 9 + r, ok ? "ok" : "failed", ok ? 0 : 1,
                ok ? ""
                   : ",\"error\":\"Error code (WF): 0x 20000007\",\"error_code\":536870919,"
                     "\"box_error\":\"ERROR: erase of sector 12 failed\"",
                station.c_str(), attempt.c_str());
  return buf;
}

std::string attempt_text(std::mt19937_64& rnd) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(rnd()),
                static_cast<unsigned long long>(rnd()));
  return buf;
}

struct Stand {
  std::string name, journal;
  HttpServer* http = nullptr;
  std::FILE* out = nullptr;
  int port_turn = 0;
};

double p99(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(v.size() * 0.99))];
}

// The hub's event stream on loopback: every `line` event's arrival and
// each station's shift count in it, until `until`.
void watch_hub(int port, double until, std::map<std::string, std::vector<int64_t>>* counts,
               std::vector<double>* times) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return;
  }
  std::string req = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  timeval tv = {0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string in;
  char buf[65536];
  while (now_s() < until) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0) break;
    if (n > 0) in.append(buf, static_cast<size_t>(n));
    for (size_t end; (end = in.find("\n\n")) != std::string::npos; in.erase(0, end + 2)) {
      std::string ev = in.substr(0, end);
      if (ev.find("event: line\n") == std::string::npos) continue;
      size_t d = ev.find("data: ");
      if (d == std::string::npos) continue;
      nlohmann::json j = nlohmann::json::parse(ev.substr(d + 6), nullptr, false);
      if (!j.is_object() || !j["stations"].is_array()) continue;
      double t = now_s();
      times->push_back(t);
      for (const auto& s : j["stations"]) {
        int64_t c = s["shift"]["ok"].get<int64_t>() + s["shift"]["failed"].get<int64_t>();
        std::vector<int64_t>& v = (*counts)[s["name"].get<std::string>()];
        v.push_back(c);
      }
    }
  }
  close(fd);
}

int serve(int argc, char** argv) {
  std::string dir = argv[2];
  int stations = std::atoi(argv[3]);
  long records = std::atol(argv[4]);
  double per_minute = argc > 5 ? std::atof(argv[5]) : 0;
  double seconds = argc > 6 ? std::atof(argv[6]) : 0;
  int hub_port = 0;
  std::string db = dir + "/line.db";
  asio::io_context io{1};
  std::vector<Stand> line(static_cast<size_t>(stations));
  std::mt19937_64 rnd(7);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int i = 0; i < stations; ++i) {
    Stand& s = line[static_cast<size_t>(i)];
    s.name = "line-" + std::to_string(i + 1);
    s.journal = dir + "/" + s.name + ".jsonl";
    s.out = std::fopen(s.journal.c_str(), "wb");
    if (!s.out) return 1;
  }
  // A day's backlog from midnight UTC, a box every few seconds per station.
  for (long k = 0; k < records; ++k) {
    Stand& s = line[static_cast<size_t>(k % stations)];
    long ms = k * 86400000L / std::max(1L, records);
    char t[40];
    std::snprintf(t, sizeof t, "2026-12-08T%02ld:%02ld:%02ld.%03ldZ", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    std::string l = record(t, s.name, ++s.port_turn % 16 + 1, unit(rnd), attempt_text(rnd));
    l += '\n';
    std::fwrite(l.data(), 1, l.size(), s.out);
  }
  std::string list;
  for (Stand& s : line) {
    std::fflush(s.out);
    // The journal that a request reads is the one named here: each server
    // answers from its own file (the feed is handed the path).
    std::string path = s.journal;
    auto journal = [path](const HttpRequest& req) {
      JournalFeed f = journal_feed(path, req.query);
      HttpResponse r;
      r.status = f.status;
      if (f.status == 200) r.content_type = "application/json";
      r.body = std::move(f.body);
      return r;
    };
    std::string status = status_json(Station{}, s.name, 0).dump();
    auto events = [status](const HttpRequest&) {
      HttpResponse r;
      r.stream = "events";
      r.body = "retry: 2000\n\n" + http_sse_event("status", status);
      return r;
    };
    HttpConfig hc;
    hc.listen = "127.0.0.1:0";
    std::string err;
    s.http =
        http_open(io, hc, {{"GET", "/api/journal", journal}, {"GET", "/api/events", events}}, &err);
    if (!s.http) {
      std::fprintf(stderr, "linestand: %s\n", err.c_str());
      return 1;
    }
    list += s.name + " http://" + http_local(s.http) + "\n";
  }
  std::FILE* f = std::fopen((dir + "/stations").c_str(), "wb");
  if (!f) return 1;
  std::fputs(list.c_str(), f);
  std::fclose(f);
  std::printf("ready\n");
  std::fflush(stdout);
  if (per_minute <= 0) {
    io.run();
    return 0;
  }

  // The steady line: each station's records at its own phase, the time
  // each was written kept to measure how late the store and page are.
  std::map<std::string, double> written;                  // attempt -> when
  std::map<std::string, std::vector<double>> by_station;  // when each record of the run was written
  double start = 0, end = 0, gap = 60.0 / per_minute;
  std::map<std::string, std::vector<int64_t>> counts;
  std::vector<double> event_times;
  std::thread watcher;
  std::vector<double> next(line.size());
  sqlite3* store = nullptr;
  sqlite3_stmt* newer = nullptr;
  int64_t last_id = 0;
  // The run starts once the hub is there (its port in DIR/hub).
  auto begin = [&]() -> bool {
    std::FILE* h = std::fopen((dir + "/hub").c_str(), "rb");
    if (!h) return false;
    int got = std::fscanf(h, "%d", &hub_port);
    std::fclose(h);
    if (got != 1 || sqlite3_open_v2(db.c_str(), &store, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      return false;
    sqlite3_busy_timeout(store, 1000);
    sqlite3_prepare_v2(store, "SELECT id, attempt FROM records WHERE id > ?1", -1, &newer, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(store, "SELECT coalesce(max(id), 0) FROM records", -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW) last_id = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    start = now_s();
    end = start + seconds;
    for (size_t i = 0; i < line.size(); ++i) next[i] = start + gap * unit(rnd);
    watcher = std::thread(watch_hub, hub_port, end + 3, &counts, &event_times);
    return true;
  };
  std::vector<double> store_lag;
  asio::steady_timer tick(io);
  long added = 0;
  std::function<void()> step = [&] {
    if (!store && !begin()) {
      tick.expires_after(std::chrono::milliseconds(100));
      tick.async_wait([&](const std::error_code&) { step(); });
      return;
    }
    double t = now_s();
    for (size_t i = 0; i < line.size() && t < end; ++i) {
      if (t < next[i]) continue;
      next[i] += gap;
      Stand& s = line[i];
      std::string a = attempt_text(rnd);
      std::string l = record(utc_now(), s.name, ++s.port_turn % 16 + 1, unit(rnd), a);
      std::fputs((l + "\n").c_str(), s.out);
      std::fflush(s.out);
      written[a] = now_s();
      by_station[s.name].push_back(now_s());
      http_publish(s.http, "events", http_sse_event("attempt", l));
      ++added;
    }
    // What reached the store since the last look.
    sqlite3_bind_int64(newer, 1, last_id);
    while (sqlite3_step(newer) == SQLITE_ROW) {
      last_id = sqlite3_column_int64(newer, 0);
      const unsigned char* a = sqlite3_column_text(newer, 1);
      auto it = a ? written.find(reinterpret_cast<const char*>(a)) : written.end();
      if (it != written.end()) {
        store_lag.push_back(now_s() - it->second);
        written.erase(it);
      }
    }
    sqlite3_reset(newer);
    if (t > end + 3) {
      io.stop();
      return;
    }
    tick.expires_after(std::chrono::milliseconds(20));
    tick.async_wait([&](const std::error_code&) { step(); });
  };
  step();
  io.run();
  watcher.join();
  sqlite3_finalize(newer);
  sqlite3_close(store);
  // Records never seen in the store count as late as the run.
  for (size_t i = 0; i < written.size(); ++i) store_lag.push_back(seconds);
  // The page: a station's k-th record of the run is shown by the first
  // line event whose count for it is k above its count in the first event.
  std::vector<double> page_lag;
  for (auto& [name, when] : by_station) {
    const std::vector<int64_t>& c = counts[name];
    if (c.empty()) continue;
    size_t e = 0;
    for (size_t k = 0; k < when.size(); ++k) {
      while (e < c.size() &&
             (c[e] - c[0] < static_cast<int64_t>(k + 1) || event_times[e] < when[k]))
        ++e;
      page_lag.push_back(e < c.size() ? event_times[e] - when[k] : seconds);
    }
  }
  // The first event comes with the connection; the rate is of the rest.
  double gap_min = 0;
  for (size_t j = 2; j < event_times.size(); ++j) {
    double g = event_times[j] - event_times[j - 1];
    if (j == 2 || g < gap_min) gap_min = g;
  }
  double span = event_times.size() > 2 ? event_times.back() - event_times[1] : 0;
  std::printf("%ld %.0f %.0f %.2f %.0f\n", added, p99(store_lag) * 1000, p99(page_lag) * 1000,
              span > 0 ? static_cast<double>(event_times.size() - 2) / span : 0, gap_min * 1000);
  for (Stand& s : line) {
    http_close(s.http);
    std::fclose(s.out);
  }
  return 0;
}

int count(char** argv) {
  double start = now_s(), limit = std::atof(argv[4]);
  long want = std::atol(argv[3]);
  while (now_s() - start < limit) {
    sqlite3* db = nullptr;
    long n = -1;
    if (sqlite3_open_v2(argv[2], &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 1000);
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT max(id) FROM records", -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int64(st, 0);
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    if (n >= want) {
      std::printf("%.3f\n", now_s() - start);
      return 0;
    }
    usleep(50 * 1000);
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "serve" && (argc == 5 || argc == 7)) return serve(argc, argv);
  if (verb == "count" && argc == 5) return count(argv);
  std::fprintf(stderr,
               "usage: linestand serve DIR STATIONS RECORDS [PER_MINUTE SECONDS]\n"
               "       linestand count DB N SECONDS\n");
  return 2;
}
