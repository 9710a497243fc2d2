// A fixed table of URL patterns and their handlers. A pattern is literal segments with at most one
// "{version}" (one of the values its API serves) and one "{id}" (any one non-empty segment); a route
// with an id answers only while its resource exists. The table is built once and never changes.
#pragma once

#include "RestSrv_API.h"

#include <string>
#include <string_view>
#include <vector>

namespace Qel_rest_srv {

// What a route's handler gets besides the request: the hub, and the values the URL gave the
// pattern's parameters.
struct TRouteArgs {
  Qel_nmos_bridge::IQELNMOSBridge& Bridge;
  const std::string& Version; // "" when the pattern has no "{version}"
  const char* Kind;           // the collection the route serves ("senders", "self"); "" when none
  const std::string& Id;      // "" when the pattern has no "{id}"

  // The store path of what the route serves: "/<kind>/<id>", "/<kind>", or "" for neither.
  std::string Path() const;
};

// True when the request was handled and its result is to be sent; false for a method not served.
using TRouteHandler = bool (*)(const TRouteArgs& route, TRESTRequestData& request);

// The versions an API serves, as they read in its URLs ("v1.2"), oldest first.
using TAPIVersions = std::vector<std::string>;

struct TRoute {
  std::string Pattern;          // "/x-nmos/node/{version}/senders/{id}"
  const TAPIVersions* Versions; // the values "{version}" takes; null when the pattern has none
  const char* Kind;
  TRouteHandler Handler; // null for a fixed text
  std::string Text;      // the JSON answer to GET of a route without a handler
};

// Whether the resource of that kind and id exists (a route with "{id}" is no route without it).
using TResourceCheck = bool (*)(Qel_nmos_bridge::IQELNMOSBridge& bridge, const char* kind,
                                const std::string& id);

// The parameters of one matched URL.
struct TRouteMatch {
  const TRoute* Route = nullptr;
  std::string Version;
  std::string Id;
};

class TRouteTable {
public:
  TRouteTable(std::vector<TRoute> routes, TResourceCheck exists);

  // The route whose pattern the URL (a request path without trailing "/") fits, with its parameters,
  // whether its resource exists or not; false when there is none.
  bool Match(std::string_view uri, TRouteMatch& match) const;
  // The route that serves the URL: as Match, and false too when the route's resource does not exist.
  bool Find(Qel_nmos_bridge::IQELNMOSBridge& bridge, std::string_view uri, TRouteMatch& match) const;
  // Serves the request on a route found for it; false for a method the route does not serve.
  static bool Serve(Qel_nmos_bridge::IQELNMOSBridge& bridge, const TRouteMatch& match,
                    TRESTRequestData& request);
  size_t Size() const { return Routes.size(); }

  // The JSON list of an API's versions, each followed by "/": ["v1.0/", "v1.2/"].
  static std::string VersionList(const TAPIVersions& versions);

private:
  enum TSegmentKind { skLiteral, skVersion, skId };
  struct TSegment {
    TSegmentKind Kind;
    std::string Text;
  };
  struct TCompiled {
    TRoute Route;
    std::vector<TSegment> Segments;
  };
  // The segments of a request path; a path with more than any pattern has matches none.
  static constexpr size_t MaxSegments = 8;
  struct TPathSegments {
    std::string_view Items[MaxSegments];
    size_t Count = 0;
  };
  static bool Split(std::string_view uri, TPathSegments& segments);
  static bool Matches(const TCompiled& route, const TPathSegments& segments, TRouteMatch& match);

  std::vector<TCompiled> Routes;
  TResourceCheck Exists;
};

} // namespace Qel_rest_srv
