#include "TokenClaims.h"

#include "WildcardMatch.h"

#include <sstream>

namespace Qel_auth {

using json = nlohmann::json;

TAccessKind AccessOf(const std::string& method) {
  return method == "GET" || method == "HEAD" ? akRead : akWrite;
}

TAPIPath SplitAPIPath(const std::string& path) {
  TAPIPath out;
  std::string p = path;
  if (p.empty() || p == "/" || p == "/x-nmos" || p == "/x-nmos/") {
    out.Level = TAPIPath::plOpen;
    return out;
  }
  const std::string prefix = "/x-nmos/";
  if (p.compare(0, prefix.size(), prefix) != 0) return out;
  p = p.substr(prefix.size());
  const size_t apiEnd = p.find('/');
  out.API = p.substr(0, apiEnd);
  if (out.API.empty()) return out;
  if (apiEnd == std::string::npos || apiEnd + 1 == p.size()) {
    out.Level = TAPIPath::plAPIRoot;
    return out;
  }
  const size_t verEnd = p.find('/', apiEnd + 1);
  if (verEnd == std::string::npos || verEnd + 1 == p.size()) {
    out.Level = TAPIPath::plAPIRoot; // a version's root reads as the API's root does
    return out;
  }
  out.Level = TAPIPath::plBelowVersion;
  out.Relative = p.substr(verEnd + 1);
  return out;
}

namespace {

bool ScopeNames(const json& claims, const std::string& api) {
  auto scope = claims.find("scope");
  if (scope == claims.end() || !scope->is_string()) return false;
  std::istringstream words(scope->get<std::string>());
  std::string word;
  while (words >> word)
    if (word == api) return true;
  return false;
}

} // namespace

bool ClaimsPermit(const json& claims, const TAPIPath& path, TAccessKind access) {
  if (path.API.empty()) return false;
  auto claim = claims.find("x-nmos-" + path.API);
  const bool hasClaim = claim != claims.end() && claim->is_object();
  if (path.Level == TAPIPath::plAPIRoot)
    return access == akRead && (hasClaim || ScopeNames(claims, path.API));
  if (path.Level != TAPIPath::plBelowVersion || !hasClaim) return false;
  auto patterns = claim->find(access == akRead ? "read" : "write");
  if (patterns == claim->end() || !patterns->is_array()) return false;
  for (const json& pattern : *patterns)
    if (pattern.is_string() && WildcardMatch(pattern.get<std::string>(), path.Relative)) return true;
  return false;
}

} // namespace Qel_auth
