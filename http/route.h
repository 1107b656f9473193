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

// What a lookup found for a request's method and path.
enum class HttpRouteFound {
  kRoute,     // *index names the route
  kNoPath,    // no route has that path: 404
  kNoMethod,  // routes have the path but none the method: 405
};

// The route for method+path: its index in `routes` into *index (and the "*"
// segments in order into *params). With kNoMethod, *allow lists the path's
// methods, comma separated, for the Allow header. A GET route also takes
// HEAD.
HttpRouteFound http_route_find(const std::vector<HttpRoute>& routes, std::string_view method,
                               std::string_view path, size_t* index,
                               std::vector<std::string>* params, std::string* allow);
