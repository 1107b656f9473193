#include "http/route.h"

namespace {

// Whether `path` fits `pattern`, "*" standing for one non-empty segment.
bool path_fits(std::string_view pattern, std::string_view path, std::vector<std::string>* params) {
  params->clear();
  while (true) {
    size_t ps = pattern.find('/'), qs = path.find('/');
    std::string_view want = pattern.substr(0, ps), have = path.substr(0, qs);
    if (want == "*") {
      if (have.empty()) return false;
      params->emplace_back(have);
    } else if (want != have) {
      return false;
    }
    if (ps == std::string_view::npos || qs == std::string_view::npos)
      return ps == std::string_view::npos && qs == std::string_view::npos;
    pattern.remove_prefix(ps + 1);
    path.remove_prefix(qs + 1);
  }
}

}  // namespace

HttpRouteFound http_route_find(const std::vector<HttpRoute>& routes, std::string_view method,
                               std::string_view path, size_t* index,
                               std::vector<std::string>* params, std::string* allow) {
  allow->clear();
  std::vector<std::string> found;
  bool known = false;
  for (size_t i = 0; i < routes.size(); ++i) {
    if (!path_fits(routes[i].path, path, &found)) continue;
    known = true;
    if (routes[i].method == method || (method == "HEAD" && routes[i].method == "GET")) {
      *params = std::move(found);
      allow->clear();
      *index = i;
      return HttpRouteFound::kRoute;
    }
    if (allow->find(routes[i].method) == std::string::npos) {
      if (!allow->empty()) *allow += ", ";
      *allow += routes[i].method;
      if (routes[i].method == "GET") *allow += ", HEAD";
    }
  }
  return known ? HttpRouteFound::kNoMethod : HttpRouteFound::kNoPath;
}
