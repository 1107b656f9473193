#include "server/control.h"

#include <signal.h>

#include <asio/experimental/as_tuple.hpp>
#include <cstdio>

#include "core/visible.h"
#include "server/metrics.h"
#include "server/request_log.h"

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);
// A stopping server lets downloads under way finish for this long.
constexpr auto kDrainLimit = std::chrono::seconds(30);

}  // namespace

std::string shown(const std::string& text) { return visible_text(text.data(), text.size()); }

bool load_reported(State* s, const char* refused_prefix) {
  // The trust file is read afresh with the catalogue: a key added or
  // removed (a rotation) takes effect with the next reload.
  Trust trust;
  if (!s->config.trust.empty()) {
    std::string why;
    if (!trust_load(s->config.trust.c_str(), &trust, &why)) {
      std::fprintf(stderr, "update-server: %strust file %s\n", refused_prefix, shown(why).c_str());
      return false;
    }
  }
  auto fresh = catalogue_load(s->config.catalogue, s->config.trust.empty() ? nullptr : &trust);
  for (const std::string& why : fresh->left_out)
    std::fprintf(stderr, "update-server: left out %s\n", shown(why).c_str());
  if (!fresh->refused.empty()) {
    std::fprintf(stderr, "update-server: %s%s\n", refused_prefix, shown(fresh->refused).c_str());
    return false;
  }
  log_catalogue_changes(s->log, s->catalogue.get(), *fresh);
  s->catalogue = fresh;
  return true;
}

void reload(State* s) {
  log_reopen(s->log);
  bool taken = load_reported(s, "reload refused, still serving the previous catalogue: ");
  metrics_reload(&s->metrics, taken);
  if (!taken) return;
  std::fprintf(stderr, "update-server: catalogue reloaded: %zu software files served\n",
               s->catalogue->software.size());
}

void begin_stop(State* s) {
  std::fprintf(stderr, "update-server: stopping\n");
  s->stopping = true;
  s->stop_deadline = s->now() + kDrainLimit;
  asio::error_code ignored;
  for (auto& a : s->acceptors) a->close(ignored);
  for (auto& f : s->on_stop) f();
}

asio::awaitable<void> signals(State* s) {
  // Waited on to the very end: a signal left to its default action during
  // the drain would end the server, and the downloads with it.
  asio::signal_set set(s->io, SIGHUP, SIGTERM, SIGINT);
  s->signals = &set;
  for (;;) {
    auto [ec, sig] = co_await set.async_wait(use_tuple);
    if (ec) break;
    if (sig == SIGHUP && s->stopping) {
      log_reopen(s->log);
      std::fprintf(stderr, "update-server: stopping; the catalogue is not reloaded\n");
    } else if (sig == SIGHUP) {
      reload(s);
    } else if (s->stopping) {
      // Asked twice: the downloads under way are cut now.
      std::fprintf(stderr, "update-server: stopping now\n");
      s->stop_deadline = s->now();
    } else {
      begin_stop(s);
    }
  }
  s->signals = nullptr;
  // The handlers go back to their defaults with the set: held off from
  // here, a late signal cannot turn a clean stop into a killed server.
  sigset_t late;
  sigemptyset(&late);
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&late, sig);
  sigprocmask(SIG_BLOCK, &late, nullptr);
}
