#include "JsonCompare.h"

#include "helpers.h"

#include <stdexcept>

namespace Qel_nmos_bridge {

TJsonCompare::TJsonCompare(const TJsonCompareDef* Def) {
  for (; Def && Def->Path; ++Def)
    OrderedActions.emplace_back(Def->Path, Def->Actions);
}

void TJsonCompare::Compare(void* AContext, const json& J1, const json& J2, const TJsonNodeInfo*) const {
  const json ops = json::diff(J1, J2);
  static const json Null;
  for (const auto& [pattern, actions] : OrderedActions) {
    const size_t star = pattern.rfind('*');
    const std::string prefix = star == std::string::npos ? pattern : pattern.substr(0, star);
    const json* op = nullptr;
    for (const json& candidate : ops) {
      const std::string path = candidate["path"].get<std::string>();
      if (star == std::string::npos ? path == prefix : path.find(prefix) != std::string::npos) {
        op = &candidate;
        break;
      }
    }
    if (!op) continue;
    std::string path = (*op)["path"].get<std::string>();
    const std::string kind = (*op)["op"].get<std::string>();
    std::string name;
    TJsonNodeInfo info(path.c_str());
    try {
      if (star != std::string::npos) {
        size_t pos = path.find(prefix) + prefix.size();
        size_t slash = path.find('/', pos);
        if (slash != std::string::npos) path.resize(slash);
        name = path.substr(pos);
        info.Path = path.c_str();
        try {
          info.SetIndex(static_cast<uint32_t>(std::stol(name)));
        } catch (const std::exception&) {
          info.SetName(name.c_str());
        }
      }
      if (kind == "add")
        actions.OnAdded(AContext, info, Null, (*op)["value"]);
      else if (kind == "replace")
        actions.OnChanged(AContext, info, Null, J2.at(json::json_pointer(path)));
      else if (kind == "remove")
        actions.OnRemoved(AContext, info, Null, Null);
    } catch (const std::exception& e) {
      lws_log(QLLL_ERR, "JSON Handle Diff error %s at %s, OP = %s  while processing %s", e.what(),
              path.c_str(), op->dump(2).c_str(), J2.dump(2).c_str());
    }
  }
}

} // namespace Qel_nmos_bridge
