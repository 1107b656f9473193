#include "server/server.h"

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>

#include "server/connection.h"
#include "server/control.h"
#include "server/listen.h"
#include "server/request_log.h"
#include "server/state.h"
#include "server/web.h"

int server_run(const ServerConfig& config, RequestLog* log) {
  State state;
  state.config = config;
  state.log = log;
  // Every connection is a descriptor: take all the system allows.
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
  signal(SIGPIPE, SIG_IGN);

  if (!load_reported(&state, "")) return 1;
  std::fprintf(stderr, "update-server: catalogue %s: %zu software files served\n",
               shown(config.catalogue).c_str(), state.catalogue->software.size());

  if (!listen_open(&state)) return 1;
  // Another protocol's listener on this thread, on state.io, before the
  // loop runs.
  if (!config.http.empty() && !web_open(&state)) return 1;
  for (auto& a : state.acceptors)
    asio::co_spawn(state.io, accept_loop(&state, a.get()), asio::detached);
  asio::co_spawn(state.io, signals(&state), asio::detached);
  asio::co_spawn(state.io, sweep(&state), asio::detached);
  log_attach(log, state.io);
  state.io.run();
  log_detach(log);
  return 0;
}
