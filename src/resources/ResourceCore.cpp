#include "ResourceCore.h"

namespace Qel_nmos_bridge {

namespace {

void AddIfMissing(json& doc, const char* member, json value) {
  if (!doc.contains(member)) doc[member] = std::move(value);
}

} // namespace

bool ResourceCore(TNMOS_ResType type, json& res, const std::string& id) {
  if (type < Node || type > Flow) return false;
  if (!res.is_object()) res = json::object();
  if (type == Device) res["type"] = "urn:x-nmos:device:generic";
  res["resource_type"] = ResTypeToString(type);
  if (!id.empty()) res["id"] = id;
  AddIfMissing(res, "version", "0:0");
  AddIfMissing(res, "label", "");
  res["description"] = "";
  res["tags"] = json::object();
  return true;
}

json NewResource(TNMOS_ResType type, const std::string& id) {
  json res = json::object();
  ResourceCore(type, res, id);
  return res;
}

} // namespace Qel_nmos_bridge
