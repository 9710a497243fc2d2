#include "VersionViews.h"

#include <cstdlib>
#include <cstring>

namespace Qel_nmos_bridge {

const char* const IS04Versions[3] = {"v1.0", "v1.2", "v1.3"};
const char* const IS04Newest = "v1.3";

namespace {

// What v1.3 added to documents: "authorization" on the node's endpoints and services and on the
// device's controls (kept there where it is true), and the switch port each of the node's interfaces is
// attached to.
bool BeforeV13(const std::string& version) {
  return version == "v1.0" || version == "v1.2";
}

void EraseFromEach(json& doc, const char* list, const char* member) {
  if (!doc.is_object()) return;
  auto it = doc.find(list);
  if (it == doc.end() || !it->is_array()) return;
  for (json& entry : *it)
    if (entry.is_object()) entry.erase(member);
}

bool ParseVersion(const std::string& text, unsigned long& major, unsigned long& minor) {
  if (text.size() < 4 || text[0] != 'v') return false;
  const char* p = text.c_str() + 1;
  char* end = nullptr;
  if (*p < '0' || *p > '9') return false;
  major = strtoul(p, &end, 10);
  if (*end != '.' || end[1] < '0' || end[1] > '9') return false;
  minor = strtoul(end + 1, &end, 10);
  return *end == '\0';
}

} // namespace

bool ViewDiffers(TNMOS_ResType type, const std::string& version) {
  return (type == Node || type == Device) && BeforeV13(version);
}

json VersionView(const json& doc, TNMOS_ResType type, const std::string& version) {
  json view = doc;
  if (!ViewDiffers(type, version) || !view.is_object()) return view;
  if (type == Node) {
    auto api = view.find("api");
    if (api != view.end()) EraseFromEach(*api, "endpoints", "authorization");
    EraseFromEach(view, "services", "authorization");
    EraseFromEach(view, "interfaces", "attached_network_device");
  } else if (view.contains("controls") && view["controls"].is_array()) {
    // A control that needs a token says so at every version (the older schemas allow the member):
    // controllers learn from it that the Connection API behind it is protected.
    for (json& control : view["controls"])
      if (control.is_object() && !(control.contains("authorization") && control["authorization"] == true))
        control.erase("authorization");
  }
  return view;
}

bool ResTypeOfCollection(const char* collection, TNMOS_ResType& type) {
  static const struct {
    const char* Name;
    TNMOS_ResType Type;
  } Kinds[] = {{"self", Node},          {"nodes", Node},     {"devices", Device}, {"senders", Sender},
               {"receivers", Receiver}, {"sources", Source}, {"flows", Flow}};
  for (const auto& kind : Kinds)
    if (strcmp(kind.Name, collection) == 0) {
      type = kind.Type;
      return true;
    }
  return false;
}

bool VersionLess(const std::string& a, const std::string& b, bool& less) {
  unsigned long amajor = 0, aminor = 0, bmajor = 0, bminor = 0;
  if (!ParseVersion(a, amajor, aminor) || !ParseVersion(b, bmajor, bminor)) return false;
  less = amajor != bmajor ? amajor < bmajor : aminor < bminor;
  return true;
}

} // namespace Qel_nmos_bridge
