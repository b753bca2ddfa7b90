#include "tool/serve/http_routes.h"

namespace kaldo::tool::serve {

const std::string& http_request::header(const std::string& lower_case_name) const {
  static const std::string none;
  const auto found = headers.find(lower_case_name);
  return found == headers.end() ? none : found->second;
}

const http_route* route_for(const std::vector<http_route>& routes, const std::string& path) {
  const http_route* best = nullptr;
  for (const http_route& route : routes) {
    const std::string& prefix = route.path;
    const bool matches = path == prefix ||
                         (prefix != "/" && path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                          (prefix.back() == '/' || path[prefix.size()] == '/'));
    if (matches && (best == nullptr || prefix.size() > best->path.size())) best = &route;
  }
  return best;
}

}  // namespace kaldo::tool::serve
