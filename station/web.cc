#include "station/web.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "core/journal.h"
#include "http/auth.h"
#include "http/language.h"
#include "http/lock.h"
#include "http/prom.h"
#include "http/response.h"
#include "http/server.h"
#include "platform/net.h"
#include "platform/process.h"
#include "station/journal_feed.h"
#include "station/page_text.h"

using json = nlohmann::ordered_json;

namespace {

constexpr const char* kChannel = "events";
constexpr double kEventGap = 0.2;  // at most 5 status events a second
// At the end, how long the station waits for the last answers to be on
// their way before it closes every connection.
constexpr int kLastAnswersMs = 2000;

using Answer = std::function<void(HttpResponse)>;

}  // namespace

struct WebView {
  WebConfig config;
  std::string name, token;
  HttpServer* server = nullptr;
  PlatWake wake;
  std::vector<std::string> pages;  // the page in each of page_languages()

  HttpMutex mu;
  // What the handlers serve, made by the main loop.
  json status;
  std::string metrics;
  // Control requests: queued by the handlers with their answers, taken by
  // the main loop, and answered by the publish after the taking, whose
  // status shows their effect. Answers run on the server's thread.
  std::vector<WebControl> queue;
  std::vector<Answer> waiting;  // the queue's answers, in its order
  std::vector<Answer> taken;    // applied, not yet answered
  bool closing = false;

  // The main loop's own (no lock): the last status sent as an event.
  json sent;
  double sent_time = -1;
  bool held = false;
};

namespace {

// The status without its clock, to tell a change from time passing.
json without_clock(json status) {
  status.erase("elapsed");
  status.erase("boxes_per_hour");
  return status;
}

HttpResponse json_response(const json& j) {
  HttpResponse r;
  r.content_type = "application/json";
  r.body = json_text(j) + "\n";
  return r;
}

// The status as it stands, its clock set to now.
json current_status(WebView* w) {
  std::lock_guard<HttpMutex> lock(w->mu);
  json s = w->status;
  status_set_clock(&s, w->config.now());
  return s;
}

// Sends `answers` the status `s` on the server's thread, then sets `done`
// when given.
void answer_all(WebView* w, std::vector<Answer> answers, const json& s, PlatWake* done = nullptr) {
  if (answers.empty()) return;
  HttpResponse r = json_response(s);
  http_post(w->server, [w, answers = std::move(answers), r, done] {
    for (const Answer& a : answers) a(r);
    // Set from a handler of its own: the answers' resumptions, queued on
    // this thread just now, run before it, and so before a close the
    // station posts once woken.
    if (done) http_post(w->server, [done] { plat_wake_set(done); });
  });
}

// Queues a control request for the main loop and wakes it; the request is
// answered once a publish shows its effect. The server's thread goes on
// serving meanwhile.
HttpResponse control(WebView* w, const HttpRequest& req, WebAction action) {
  int refused = http_check_bearer(req, w->token);
  if (refused) return http_auth_refusal(refused);
  size_t slot = 0;
  if (action != WebAction::kDrain) {
    const std::string& n = req.params.at(0);
    bool digits =
        !n.empty() && n.size() <= 6 && n.find_first_not_of("0123456789") == std::string::npos;
    slot = digits ? std::stoul(n) : 0;
    if (slot < 1 || slot > w->config.slots) return http_error(404);
    slot--;
  }
  HttpResponse r;
  r.later = [w, c = WebControl{action, slot}](Answer answer) {
    bool queued = false;
    {
      std::lock_guard<HttpMutex> lock(w->mu);
      if (!w->closing) {
        w->queue.push_back(c);
        w->waiting.push_back(std::move(answer));
        queued = true;
      }
    }
    if (queued) plat_wake_set(&w->wake);
    else answer(json_response(current_status(w)));  // the station is ending
  };
  return r;
}

std::vector<HttpRoute> routes(WebView* w) {
  // In the language the browser asks for; Vary tells a cache the page
  // differs by it.
  auto page = [w](const HttpRequest& req) {
    const std::string* accept = http_header(req, "accept-language");
    size_t lang = http_pick_language(accept ? *accept : "", page_languages());
    HttpResponse r = http_page(w->pages[lang]);
    r.headers.push_back({"Content-Language", std::string(page_languages()[lang])});
    r.headers.push_back({"Vary", "Accept-Language"});
    return r;
  };
  auto status = [w](const HttpRequest&) { return json_response(current_status(w)); };
  auto events = [w](const HttpRequest&) {
    HttpResponse r;
    r.stream = kChannel;
    // A browser that lost the stream tries again after two seconds.
    r.body = "retry: 2000\n\n" + http_sse_event("status", json_text(current_status(w)));
    return r;
  };
  auto metrics = [w](const HttpRequest&) {
    HttpResponse r;
    r.content_type = std::string(kPromContentType);
    std::lock_guard<HttpMutex> lock(w->mu);
    r.body = w->metrics;
    return r;
  };
  // Read here, on the server's thread: the runs and the main loop never wait for it.
  auto journal = [](const HttpRequest& req) {
    JournalFeed f = journal_feed(journal_path(), req.query);
    HttpResponse r;
    r.status = f.status;
    if (f.status == 200) r.content_type = "application/json";
    r.body = std::move(f.body);
    return r;
  };
  auto act = [w](WebAction a) {
    return [w, a](const HttpRequest& req) { return control(w, req, a); };
  };
  return {
      {"GET", "/", page},
      {"GET", "/api/status", status},
      {"GET", "/api/events", events},
      {"GET", "/metrics", metrics},
      {"GET", "/api/journal", journal},
      {"POST", "/api/slots/*/park", act(WebAction::kPark)},
      {"POST", "/api/slots/*/unpark", act(WebAction::kUnpark)},
      {"POST", "/api/drain", act(WebAction::kDrain)},
  };
}

}  // namespace

WebView* web_start(const WebConfig& config, std::string* error) {
  WebView* w = new WebView;
  w->config = config;
  for (size_t i = 0; i < page_languages().size(); i++) w->pages.push_back(station_page(i));
  w->name = config.station;
  if (w->name.empty()) {
    char host[256];
    plat_net_start();
    plat_hostname(host, sizeof host);
    w->name = host;
  }
  if (!config.token_file.empty()) {
    *error = http_read_token(config.token_file, &w->token);
    if (!error->empty()) {
      delete w;
      return nullptr;
    }
  }
  if (!plat_wake_open(&w->wake)) {
    *error = std::string("cannot make the web view's wake-up: ") + std::strerror(errno);
    delete w;
    return nullptr;
  }
  // Served before the first publish: an empty station.
  Station empty;
  w->status = status_json(empty, w->name, 0);
  HttpConfig hc;
  hc.listen = config.listen;
  hc.allow_hosts = config.allow_hosts;
  w->server = http_start(hc, routes(w), error);
  if (!w->server) {
    plat_wake_close(&w->wake);
    delete w;
    return nullptr;
  }
  return w;
}

std::string web_local(const WebView* w) { return http_local(w->server); }

intptr_t web_wait_handle(const WebView* w) { return w->wake.wait_handle; }

std::vector<WebControl> web_take(WebView* w) {
  plat_wait_handle_drain(w->wake.wait_handle);
  std::lock_guard<HttpMutex> lock(w->mu);
  std::vector<WebControl> out;
  out.swap(w->queue);
  for (Answer& a : w->waiting) w->taken.push_back(std::move(a));
  w->waiting.clear();
  return out;
}

void web_publish(WebView* w, const Station& st, double now, bool last) {
  json status = status_json(st, w->name, now);
  std::string metrics = metrics_text(st, w->name);
  json plain = without_clock(status);
  bool changed = w->held || plain != w->sent;
  std::vector<Answer> answers;
  {
    std::lock_guard<HttpMutex> lock(w->mu);
    w->status = status;
    w->metrics = std::move(metrics);
    answers.swap(w->taken);
  }
  answer_all(w, std::move(answers), status);
  if (!changed) return;
  if (!last && w->sent_time >= 0 && now - w->sent_time < kEventGap) {
    w->held = true;
    return;
  }
  http_publish(w->server, kChannel, http_sse_event("status", json_text(status)));
  w->sent = std::move(plain);
  w->sent_time = now;
  w->held = false;
}

void web_attempt(WebView* w, const std::string& record) {
  if (!record.empty()) http_publish(w->server, kChannel, http_sse_event("attempt", record));
}

void web_stop(WebView* w) {
  std::vector<Answer> answers;
  {
    std::lock_guard<HttpMutex> lock(w->mu);
    w->closing = true;
    answers.swap(w->taken);
    for (Answer& a : w->waiting) answers.push_back(std::move(a));
    w->waiting.clear();
    w->queue.clear();
  }
  // The last answers go out before the connections close: once they have
  // run on the server's thread, their writes are under way ahead of the
  // close.
  if (!answers.empty()) {
    plat_wait_handle_drain(w->wake.wait_handle);
    answer_all(w, std::move(answers), current_status(w), &w->wake);
    plat_wait_any({w->wake.wait_handle}, kLastAnswersMs);
  }
  http_stop(w->server);
  plat_wake_close(&w->wake);
  delete w;
}
