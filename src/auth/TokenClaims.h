// What an access token permits on this node's APIs: the x-nmos-<api> claims' read and write path
// patterns (relative to the API version's root, with '*' wild cards) and the scope, for the path and
// method of one request.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace Qel_auth {

enum TAccessKind { akRead, akWrite };

// GET and HEAD read; everything else (POST, PUT, PATCH, DELETE and methods not known) writes.
TAccessKind AccessOf(const std::string& method);

// Where a request path lies: "/" and "/x-nmos" (open for reading), an API's root "/x-nmos/<api>" or a
// version's root "/x-nmos/<api>/<version>", or below a version (Relative is the rest after its slash).
struct TAPIPath {
  enum TLevel { plOpen, plAPIRoot, plBelowVersion, plOther } Level = plOther;
  std::string API;
  std::string Relative;
};
TAPIPath SplitAPIPath(const std::string& path);

// Whether the claims grant the access to the path (one of plAPIRoot and plBelowVersion).
bool ClaimsPermit(const nlohmann::json& claims, const TAPIPath& path, TAccessKind access);

} // namespace Qel_auth
