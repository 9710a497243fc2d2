#include "RouteTable.h"

#include <stdexcept>
#include <utility>

namespace Qel_rest_srv {

namespace {

const char* const JSONMimeType = "application/json";
const char* const VersionParameter = "{version}";
const char* const IdParameter = "{id}";

} // namespace

std::string TRouteArgs::Path() const {
  if (!*Kind) return "";
  std::string path = std::string("/") + Kind;
  if (!Id.empty()) path += "/" + Id;
  return path;
}

TRouteTable::TRouteTable(std::vector<TRoute> routes, TResourceCheck exists) : Exists(exists) {
  for (TRoute& route : routes) {
    TCompiled compiled{std::move(route), {}};
    TPathSegments segments;
    if (!Split(compiled.Route.Pattern, segments)) throw std::logic_error("route pattern too long");
    for (size_t i = 0; i < segments.Count; ++i) {
      const std::string_view text = segments.Items[i];
      TSegmentKind kind = text == VersionParameter ? skVersion : text == IdParameter ? skId : skLiteral;
      if (kind == skVersion && !compiled.Route.Versions) throw std::logic_error("route without versions");
      compiled.Segments.push_back({kind, std::string(text)});
    }
    Routes.push_back(std::move(compiled));
  }
}

// "" has no segments, "/a/b" has "a" and "b"; a path must start with "/".
bool TRouteTable::Split(std::string_view uri, TPathSegments& segments) {
  segments.Count = 0;
  if (uri.empty()) return true;
  if (uri.front() != '/') return false;
  size_t start = 1;
  for (;;) {
    if (segments.Count == MaxSegments) return false;
    const size_t end = uri.find('/', start);
    segments.Items[segments.Count++] = uri.substr(start, end == std::string_view::npos ? end : end - start);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool TRouteTable::Matches(const TCompiled& route, const TPathSegments& segments, TRouteMatch& match) {
  if (route.Segments.size() != segments.Count) return false;
  std::string_view version, id;
  for (size_t i = 0; i < segments.Count; ++i) {
    const TSegment& segment = route.Segments[i];
    const std::string_view text = segments.Items[i];
    if (segment.Kind == skLiteral) {
      if (text != segment.Text) return false;
    } else if (text.empty()) {
      return false;
    } else if (segment.Kind == skId) {
      id = text;
    } else {
      bool served = false;
      for (const std::string& value : *route.Route.Versions)
        served = served || text == value;
      if (!served) return false;
      version = text;
    }
  }
  match.Route = &route.Route;
  match.Version = version;
  match.Id = id;
  return true;
}

bool TRouteTable::Match(std::string_view uri, TRouteMatch& match) const {
  TPathSegments segments;
  if (!Split(uri, segments)) return false;
  for (const TCompiled& route : Routes)
    if (Matches(route, segments, match)) return true;
  return false;
}

bool TRouteTable::Find(Qel_nmos_bridge::IQELNMOSBridge& bridge, std::string_view uri,
                       TRouteMatch& match) const {
  return Match(uri, match) && (match.Id.empty() || Exists(bridge, match.Route->Kind, match.Id));
}

bool TRouteTable::Serve(Qel_nmos_bridge::IQELNMOSBridge& bridge, const TRouteMatch& match,
                        TRESTRequestData& request) {
  const TRoute& route = *match.Route;
  if (route.Handler) return route.Handler(TRouteArgs{bridge, match.Version, route.Kind, match.Id}, request);
  if (request.Method != HTTP_GET_URI) return false;
  request.Result.Body = route.Text;
  request.Result.MimeType = JSONMimeType;
  request.Result.HTTPResult = 200;
  return true;
}

std::string TRouteTable::VersionList(const TAPIVersions& versions) {
  std::string list = "[";
  for (const std::string& version : versions)
    list += (list.size() > 1 ? ", \"" : "\"") + version + "/\"";
  return list + "]";
}

} // namespace Qel_rest_srv
