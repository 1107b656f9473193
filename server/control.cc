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
  auto fresh = catalogue_load(s->config.catalogue);
  for (const std::string& why : fresh->left_out)
    std::fprintf(stderr, "update-server: left out %s\n", shown(why).c_str());
  if (!fresh->refused.empty()) {
    std::fprintf(stderr, "update-server: %s%s\n", refused_prefix, shown(fresh->refused).c_str());
    return false;
  }
  s->catalogue = fresh;
  return true;
}

void reload(State* s) {
  log_reopen();
  bool taken = load_reported(s, "reload refused, still serving the previous catalogue: ");
  metrics_reload(taken);
  if (!taken) return;
  std::fprintf(stderr, "update-server: catalogue reloaded: %zu software files served\n",
               s->catalogue->software.size());
}

void begin_stop(State* s) {
  std::fprintf(stderr, "update-server: stopping\n");
  s->stopping = true;
  s->stop_deadline = Clock::now() + kDrainLimit;
  asio::error_code ignored;
  for (auto& a : s->acceptors) a->close(ignored);
  for (auto& f : s->on_stop) f();
}

asio::awaitable<void> signals(State* s) {
  asio::signal_set set(s->io, SIGHUP, SIGTERM, SIGINT);
  for (;;) {
    auto [ec, sig] = co_await set.async_wait(use_tuple);
    if (ec) co_return;
    if (sig == SIGHUP) {
      reload(s);
      continue;
    }
    begin_stop(s);
    co_return;
  }
}
