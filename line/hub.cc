#include "line/hub.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "http/prom.h"
#include "http/response.h"
#include "http/server.h"
#include "line/board.h"
#include "line/client.h"
#include "line/options.h"
#include "line/page.h"
#include "line/stations.h"
#include "line/store_link.h"

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);
constexpr size_t kJournalAnswerBytes = 24u << 20;  // above the station's 8 MiB page
constexpr auto kJournalTime = 20s;
constexpr auto kPullEvery = 10s;
constexpr size_t kMaxEvent = 1u << 20;
constexpr auto kQuietStream = 45s;  // the station pings every 15 s
constexpr auto kPageGap = 500ms;    // at most 2 line events a second
constexpr char kChannel[] = "events";

std::string json_dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

double wall_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int utc_offset_minutes() {
  std::time_t t = std::time(nullptr);
  std::tm local = *std::localtime(&t);
  std::tm utc = *std::gmtime(&t);
  utc.tm_isdst = local.tm_isdst;
  return static_cast<int>(std::difftime(std::mktime(&local), std::mktime(&utc)) / 60);
}

struct Follower {
  std::string name;
  ClientUrl url;
  bool stopped = false;
  bool pull_now = false;
  std::string cursor;
  std::unique_ptr<asio::steady_timer> pull_timer;
  std::string last_error;  // said once on standard error until it changes
};

// A station's page of records waiting for the store: the writer writes
// all that wait in one transaction, so a backlog of many stations costs a
// commit for several pages, not one each. The writer's thread fills in
// part.result, ok and err; the loop's thread reads them once done.
struct Write {
  LinePart part;
  bool done = false, ok = false;
  std::string err;
  asio::steady_timer* wake = nullptr;  // its follower waits on it
};

struct Hub {
  asio::io_context io{1};
  // The store is written on a thread of its own, so the next pages of a
  // backlog come in while the ones before them are written; the loop's
  // own reads of the store (cursors, the board counted again, reports)
  // take turns with it through store_mu.
  std::mutex store_mu;
  std::mutex write_mu;  // writes and writer_stop
  std::condition_variable write_cv;
  std::deque<std::shared_ptr<Write>> writes;
  bool writer_stop = false;
  std::thread writer;
  // Journal pages being fetched or waiting for the store, and the
  // followers waiting to fetch one: what a backlog holds in memory is
  // bounded by kPagesAtOnce pages, however many stations have one.
  int pages = 0;
  std::deque<asio::steady_timer*> page_queue;
  bool stopped = false;  // the loop has ended: the followers' frames go, their timers too
  LineOptions options;
  Board board;
  LineStore* store = nullptr;
  HttpServer* http = nullptr;
  std::map<std::string, std::shared_ptr<Follower>> followers;
  uint64_t sent_version = ~0ull;
  // A batch that held records stored before (a journal read again, or
  // another hub on the same station): the board is counted again from
  // the store, at most every 10 s.
  bool recount = false;
};

void say(Follower* f, const std::string& what) {
  if (what == f->last_error) return;
  f->last_error = what;
  if (!what.empty()) std::fprintf(stderr, "update-line: %s: %s\n", f->name.c_str(), what.c_str());
}

constexpr size_t kWriteRecords = 50000;  // records in one transaction at most
constexpr int kPagesAtOnce = 10;         // two transactions': one written, one coming in

// Waits for a turn to fetch a page; `wake` is the caller's timer.
asio::awaitable<void> page_turn(Hub* h, asio::steady_timer* wake) {
  if (h->pages < kPagesAtOnce) {
    ++h->pages;
    co_return;
  }
  h->page_queue.push_back(wake);
  // The turn is handed over with the count kept (page_done).
  bool turn = false;
  while (!turn) {
    wake->expires_after(std::chrono::hours(24));
    co_await wake->async_wait(use_tuple);
    turn = std::find(h->page_queue.begin(), h->page_queue.end(), wake) == h->page_queue.end();
  }
}

void page_done(Hub* h) {
  if (h->stopped) return;
  if (h->page_queue.empty()) {
    --h->pages;
    return;
  }
  asio::steady_timer* next = h->page_queue.front();
  h->page_queue.pop_front();
  next->cancel();
}

// The writer's thread: the pages waiting, up to kWriteRecords records, in
// one transaction. The board is counted on the loop's thread, which alone
// touches it; reading the records for it there keeps that off the writer,
// which a backlog keeps busy.
void write_pages(Hub* h, std::vector<std::shared_ptr<Write>> now) {
  std::vector<LinePart> parts;
  for (auto& w : now) parts.push_back(std::move(w->part));
  std::string err;
  bool ok;
  {
    std::lock_guard<std::mutex> lock(h->store_mu);
    ok = line_store_add_batches(h->store, &parts, &err);
  }
  for (size_t i = 0; i < now.size(); ++i) {
    now[i]->part = std::move(parts[i]);
    now[i]->ok = ok;
    now[i]->err = err;
  }
  asio::post(h->io, [h, now = std::move(now)] {
    for (const auto& w : now) {
      BoardStation* s = board_station(&h->board, w->part.station);
      // Which records were new is known only when none was stored before.
      bool fresh = w->part.result.duplicates == 0;
      if (w->ok && s)
        line_records(w->part.lines, [&](const StoredRecord& r) {
          s->pending.erase(r.attempt);
          if (fresh) board_record(&h->board, s, r.time, r.result, r.cause, r.file_version);
        });
      w->done = true;
      w->wake->cancel();
    }
  });
}

void writer_loop(Hub* h) {
  std::unique_lock<std::mutex> lock(h->write_mu);
  for (;;) {
    h->write_cv.wait(lock, [h] { return h->writer_stop || !h->writes.empty(); });
    // Pages not written when the hub stops keep their stations' cursors
    // where they were: they are fetched again next time.
    if (h->writer_stop) return;
    std::vector<std::shared_ptr<Write>> now;
    size_t records = 0;
    while (!h->writes.empty() && (now.empty() || records < kWriteRecords)) {
      records += h->writes.front()->part.lines.size();
      now.push_back(std::move(h->writes.front()));
      h->writes.pop_front();
    }
    lock.unlock();
    write_pages(h, std::move(now));
    lock.lock();
  }
}

void queue_write(Hub* h, std::shared_ptr<Write> w) {
  {
    std::lock_guard<std::mutex> lock(h->write_mu);
    h->writes.push_back(std::move(w));
  }
  h->write_cv.notify_one();
}

void stop_writer(Hub* h) {
  if (!h->writer.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(h->write_mu);
    h->writer_stop = true;
  }
  h->write_cv.notify_one();
  h->writer.join();
}

asio::awaitable<void> pull_loop(Hub* h, std::shared_ptr<Follower> f) {
  asio::steady_timer wake(h->io);
  while (!f->stopped) {
    if (!f->pull_now) {
      f->pull_timer->expires_after(kPullEvery);
      co_await f->pull_timer->async_wait(use_tuple);
    }
    if (f->stopped) break;
    f->pull_now = false;
    for (bool more = true; more && !f->stopped;) {
      more = false;
      std::string target = "/api/journal?limit=10000";
      if (!f->cursor.empty()) target += "&after=" + f->cursor;
      co_await page_turn(h, &wake);
      // The turn goes back however this page ends.
      std::shared_ptr<void> turn(nullptr, [h](void*) { page_done(h); });
      ClientAnswer a = co_await client_get(f->url, target, kJournalAnswerBytes, kJournalTime);
      BoardStation* s = board_station(&h->board, f->name);
      if (f->stopped || !s) break;
      if (a.status != 200) {
        if (a.status) s->bad_answers++;
        say(f.get(), "journal: " + (a.status ? "answered " + std::to_string(a.status) : a.error));
        break;
      }
      // The records go to the store byte for byte as the journal holds
      // them: written out again by a JSON library, numbers and escapes
      // would come out otherwise.
      JournalPage page;
      if (!client_journal_page(a.body, &page)) {
        s->bad_answers++;
        say(f.get(), "journal: not a journal answer");
        break;
      }
      auto w = std::make_shared<Write>();
      w->part.station = f->name;
      w->part.lines.assign(page.records.begin(), page.records.end());
      w->part.cursor = page.next;
      bool page_more = page.more;
      page = JournalPage();
      std::string().swap(a.body);
      w->wake = &wake;
      queue_write(h, w);
      while (!w->done) {
        wake.expires_after(std::chrono::hours(24));
        co_await wake.async_wait(use_tuple);
      }
      s = board_station(&h->board, f->name);
      if (!s) break;
      const std::string& next = w->part.cursor;
      const BatchResult& res = w->part.result;
      if (!w->ok) {
        say(f.get(), w->err);
        break;
      }
      say(f.get(), "");
      f->cursor = next;
      s->records += res.added;
      s->skipped += res.skipped;
      if (res.added || res.skipped) h->board.version++;
      if (res.duplicates) h->recount = true;
      more = page_more;
    }
  }
}

asio::awaitable<void> event_loop(Hub* h, std::shared_ptr<Follower> f) {
  auto backoff = 1s;
  asio::steady_timer wait(h->io);
  while (!f->stopped) {
    std::string why = co_await client_follow(
        f->url, "/api/events", kMaxEvent, kQuietStream,
        [&] {
          backoff = 1s;
          if (BoardStation* s = board_station(&h->board, f->name))
            if (!f->stopped) board_link(&h->board, s, true, wall_now());
          say(f.get(), "");
        },
        [&](const ClientEvent& e) {
          BoardStation* s = board_station(&h->board, f->name);
          if (f->stopped || !s) return;
          json data = json::parse(e.data, nullptr, false);
          if (e.event == "status") {
            board_status(&h->board, s, data);
          } else if (e.event == "attempt") {
            if (data.is_object() && data.contains("attempt") && data["attempt"].is_string())
              s->pending.emplace(data["attempt"].get<std::string>(), wall_now());
            // Soon after the record: the journal holds it by now.
            f->pull_now = true;
            f->pull_timer->cancel();
          }
        });
    if (f->stopped) break;
    if (BoardStation* s = board_station(&h->board, f->name)) {
      if (s->up) say(f.get(), "offline: " + why);
      board_link(&h->board, s, false, wall_now());
    }
    wait.expires_after(backoff);
    co_await wait.async_wait(use_tuple);
    backoff = std::min<std::chrono::seconds>(backoff * 2, 30s);
  }
}

bool read_stations(Hub* h, std::vector<std::pair<std::string, std::string>>* list) {
  std::ifstream in(h->options.stations, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "update-line: cannot read the stations file %s\n",
                 h->options.stations.c_str());
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string why = stations_parse(text.str(), list);
  if (!why.empty()) {
    std::fprintf(stderr, "update-line: %s: %s\n", h->options.stations.c_str(), why.c_str());
    return false;
  }
  return true;
}

// Follows the stations of the list and no others.
bool follow(Hub* h, const std::vector<std::pair<std::string, std::string>>& list) {
  std::map<std::string, std::shared_ptr<Follower>> next;
  for (const auto& [name, url] : list) {
    auto it = h->followers.find(name);
    ClientUrl u;
    client_parse_url(url, &u);
    if (it != h->followers.end() && it->second->url.host == u.host &&
        it->second->url.port == u.port && it->second->url.base == u.base) {
      next[name] = it->second;
      h->followers.erase(it);
      continue;
    }
    auto f = std::make_shared<Follower>();
    f->name = name;
    f->url = u;
    f->pull_now = true;
    f->pull_timer = std::make_unique<asio::steady_timer>(h->io);
    std::string err;
    std::lock_guard<std::mutex> lock(h->store_mu);
    if (!line_store_cursor(h->store, name, &f->cursor, &err)) {
      std::fprintf(stderr, "update-line: %s\n", err.c_str());
      return false;
    }
    next[name] = f;
    asio::co_spawn(h->io, pull_loop(h, f), asio::detached);
    asio::co_spawn(h->io, event_loop(h, f), asio::detached);
  }
  for (auto& [name, f] : h->followers) {
    f->stopped = true;
    f->pull_timer->cancel();
  }
  h->followers = std::move(next);
  board_set_stations(&h->board, list, wall_now());
  return true;
}

// Counts again what the store holds of the current shift and hour, so the
// page after a restart shows what it showed before.
bool load_recent(Hub* h) {
  double now = wall_now();
  double from = std::min(board_shift_start(h->board, now), now - 3600);
  std::string err;
  std::lock_guard<std::mutex> lock(h->store_mu);
  bool ok = line_store_since(
      h->store, board_time_text(from),
      [&](const StoredRecord& r) {
        board_record(&h->board, board_station(&h->board, r.station), r.time, r.result, r.cause,
                     r.file_version);
      },
      &err);
  if (!ok) std::fprintf(stderr, "update-line: %s\n", err.c_str());
  return ok;
}

asio::awaitable<void> ticker(Hub* h) {
  asio::steady_timer t(h->io);
  int ticks = 0;
  for (;;) {
    t.expires_after(kPageGap);
    auto [ec] = co_await t.async_wait(use_tuple);
    if (ec || !h->http) break;
    double now = wall_now();
    if (++ticks % 20 == 0 && h->recount) {
      h->recount = false;
      for (BoardStation& st : h->board.stations) st.minutes.clear();
      load_recent(h);
      h->board.version++;
    }
    if (ticks % 2 == 0) {
      h->board.config.utc_offset_minutes = utc_offset_minutes();
      board_prune(&h->board, now);
      for (const Alarm& a : board_alarms(&h->board, now))
        http_publish(h->http, kChannel, http_sse_event("alarm", json_dump(alarm_json(a))));
    }
    if (h->board.version != h->sent_version) {
      h->sent_version = h->board.version;
      http_publish(h->http, kChannel, http_sse_event("line", json_dump(board_json(h->board, now))));
    }
  }
}

std::string query_value(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    size_t eq = pair.find('=');
    if (pair.substr(0, eq) != key) continue;
    std::string out;
    std::string_view v = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
    for (size_t i = 0; i < v.size(); i++) {
      if (v[i] == '%' && i + 2 < v.size() && hex_digit(v[i + 1]) >= 0 && hex_digit(v[i + 2]) >= 0) {
        out += static_cast<char>(hex_digit(v[i + 1]) * 16 + hex_digit(v[i + 2]));
        i += 2;
      } else {
        out += v[i] == '+' ? ' ' : v[i];
      }
    }
    return out;
  }
  return "";
}

HttpResponse json_answer(const json& j) {
  HttpResponse r;
  r.content_type = "application/json";
  r.body = json_dump(j) + "\n";
  return r;
}

std::vector<HttpRoute> routes(Hub* h) {
  auto page = [](const HttpRequest&) { return http_page(kLinePage); };
  auto line = [h](const HttpRequest&) { return json_answer(board_json(h->board, wall_now())); };
  auto events = [h](const HttpRequest&) {
    HttpResponse r;
    r.stream = kChannel;
    r.body =
        "retry: 2000\n\n" + http_sse_event("line", json_dump(board_json(h->board, wall_now())));
    return r;
  };
  auto metrics = [h](const HttpRequest&) {
    HttpResponse r;
    r.content_type = std::string(kPromContentType);
    r.body = board_metrics(h->board, wall_now());
    return r;
  };
  auto healthz = [](const HttpRequest&) {
    HttpResponse r;
    r.body = "ok\n";
    return r;
  };
  auto report = [h](const HttpRequest& req) {
    std::string since = query_value(req.query, "since");
    std::string until = query_value(req.query, "until");
    bool as_json = query_value(req.query, "format") == "json";
    if (since.empty() && req.query.find("since=") == std::string::npos)
      since = board_time_text(board_shift_start(h->board, wall_now()));
    HttpResponse r;
    std::string err;
    std::lock_guard<std::mutex> lock(h->store_mu);
    if (!line_store_report(h->store, since, until, as_json, &r.body, &err)) {
      r.status = err.rfind("since and until", 0) == 0 ? 400 : 503;
      r.body = err + "\n";
      return r;
    }
    r.content_type = as_json ? "application/json" : "text/html; charset=utf-8";
    return r;
  };
  return {
      {"GET", "/", page},           {"GET", "/api/line", line},   {"GET", "/api/events", events},
      {"GET", "/metrics", metrics}, {"GET", "/healthz", healthz}, {"GET", "/report", report}};
}

asio::awaitable<void> signals(Hub* h) {
  asio::signal_set set(h->io, SIGHUP, SIGTERM, SIGINT);
  for (;;) {
    auto [ec, sig] = co_await set.async_wait(use_tuple);
    if (ec) break;
    if (sig == SIGHUP) {
      std::vector<std::pair<std::string, std::string>> list;
      if (read_stations(h, &list)) {
        follow(h, list);
        std::fprintf(stderr, "update-line: following %zu stations\n", list.size());
      } else {
        std::fprintf(stderr, "update-line: the stations followed stay as they were\n");
      }
      continue;
    }
    std::fprintf(stderr, "update-line: stopping\n");
    break;
  }
  h->io.stop();
}

}  // namespace

int line_main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Hub hub;
  Hub* h = &hub;
  std::string why = parse_line_options(argc, argv, &h->options);
  if (h->options.help) {
    std::fputs(kLineUsage, stdout);
    return 0;
  }
  if (!why.empty()) {
    std::fprintf(stderr, "update-line: %s\n%s", why.c_str(), kLineUsage);
    return 2;
  }
  h->board.config.min_yield = h->options.min_yield;
  h->board.config.shift_minutes = h->options.shift_minutes;
  h->board.config.utc_offset_minutes = utc_offset_minutes();
  std::vector<std::pair<std::string, std::string>> list;
  if (!read_stations(h, &list)) return 2;
  std::string err;
  h->store = line_store_open(h->options.db, &err);
  if (!h->store) {
    std::fprintf(stderr, "update-line: %s\n", err.c_str());
    return 1;
  }
  board_set_stations(&h->board, list, wall_now());
  if (!load_recent(h)) return 1;
  HttpConfig hc;
  hc.listen = h->options.http;
  h->http = http_open(h->io, hc, routes(h), &err);
  if (!h->http) {
    std::fprintf(stderr, "update-line: %s\n", err.c_str());
    line_store_close(h->store);
    return 1;
  }
  if (!follow(h, list)) return 1;
  std::fprintf(stderr, "update-line: line view at http://%s/\n", http_local(h->http).c_str());
  asio::co_spawn(h->io, signals(h), asio::detached);
  asio::co_spawn(h->io, ticker(h), asio::detached);
  h->writer = std::thread(writer_loop, h);
  h->io.run();
  stop_writer(h);
  h->stopped = true;
  http_close(h->http);
  h->http = nullptr;
  for (auto& [name, f] : h->followers) f->stopped = true;
  line_store_close(h->store);
  return 0;
}
