// Which handler a request goes to: by method and path, a "*" in a route's
// path standing for one non-empty segment ("/api/slots/*/park").
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "http/request.h"
#include "http/response.h"

// Runs on the server's thread; must not block.
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpRoute {
  std::string method;  // "GET", "POST", ...
  std::string path;    // exact, or with "*" segments
  HttpHandler handler;
};

// The index in `routes` of the route for method+path (filling *params with
// the "*" segments in order), or -404 when no route has that path, or -405
// when routes have the path but none the method (*allow then lists theirs,
// comma separated, for the Allow header). A GET route also takes HEAD.
int http_route_find(const std::vector<HttpRoute>& routes, std::string_view method,
                    std::string_view path, std::vector<std::string>* params, std::string* allow);
