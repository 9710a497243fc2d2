#include "ConnectionViews.h"

#include "VersionViews.h"

#include <cctype>

namespace Qel_nmos_bridge {

namespace {

const char* const FirstWithExtensions = "v1.1";

bool AtLeast(const std::string& version, const char* first) {
  bool less = false;
  return VersionLess(version, first, less) && !less;
}

// Each leg without its externally defined parameters.
json WithoutExtParams(const json& legs) {
  if (!legs.is_array()) return legs;
  json out = json::array();
  for (const json& leg : legs) {
    if (!leg.is_object()) {
      out.push_back(leg);
      continue;
    }
    json kept = json::object();
    for (auto it = leg.begin(); it != leg.end(); ++it)
      if (!IsExtParam(it.key())) kept[it.key()] = *it;
    out.push_back(std::move(kept));
  }
  return out;
}

} // namespace

TConnectionRules ConnectionRules(const std::string& version) {
  TConnectionRules rules;
  const bool v11 = AtLeast(version, FirstWithExtensions);
  rules.ExtParams = v11;
  rules.WholeTransportFile = v11;
  rules.TransportType = v11;
  return rules;
}

bool IsExtParam(const std::string& name) {
  if (name.size() <= 4 || name.compare(0, 4, "ext_") != 0) return false;
  for (size_t i = 4; i < name.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(name[i]);
    if (!isascii(ch) || !(isalnum(ch) || ch == '_')) return false;
  }
  return true;
}

json ConstraintsView(const json& constraints, const std::string& version) {
  if (ConnectionRules(version).ExtParams) return constraints;
  return WithoutExtParams(constraints);
}

json ParamsView(const json& doc, const std::string& version) {
  if (ConnectionRules(version).ExtParams || !doc.is_object()) return doc;
  auto legs = doc.find("transport_params");
  if (legs == doc.end()) return doc;
  json view = doc;
  view["transport_params"] = WithoutExtParams(*legs);
  return view;
}

} // namespace Qel_nmos_bridge
