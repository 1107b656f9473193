#include "server/web.h"

#include <cstdio>

#include "http/prom.h"
#include "http/server.h"
#include "server/metrics.h"

bool web_open(State* s) {
  std::vector<HttpRoute> routes = {
      {"GET", "/metrics",
       [s](const HttpRequest&) {
         HttpResponse r;
         r.content_type = kPromContentType;
         r.body = server_metrics_text(s->metrics, conn_count(&s->connections, ConnClass::kPlain),
                                      s->catalogue ? s->catalogue->software.size() : 0);
         return r;
       }},
      {"GET", "/healthz",
       [s](const HttpRequest&) {
         // A stopping server is not one to send boxes to.
         HttpResponse r = http_error(s->catalogue && !s->stopping ? 200 : 503);
         if (r.status == 200) r.body = "ok\n";
         return r;
       }},
  };
  HttpConfig config;
  config.listen = s->config.http;
  config.allow_hosts = s->config.http_allow_hosts;
  std::string error;
  HttpServer* h = http_open(s->io, config, std::move(routes), &error);
  if (h == nullptr) {
    std::fprintf(stderr, "update-server: --http %s\n", error.c_str());
    return false;
  }
  std::fprintf(stderr, "update-server: metrics at http://%s/metrics\n", http_local(h).c_str());
  s->on_stop.push_back([h] { http_close(h); });
  return true;
}
