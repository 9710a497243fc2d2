#include "RegistryVersions.h"

#include "VersionViews.h"

#include <vector>

namespace Qel_nmos_bridge {

namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> Items(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    items.push_back(Trimmed(list.substr(start, comma - start)));
    start = comma + 1;
  }
  return items;
}

// The newest of the node's versions among `offered`, each compared whole.
bool Newest(const std::vector<std::string>& offered, std::string& chosen) {
  bool found = false;
  for (const char* mine : IS04Versions)
    for (const std::string& item : offered) {
      bool less = false;
      if (item != mine || (found && (!VersionLess(chosen, item, less) || !less))) continue;
      chosen = item;
      found = true;
    }
  return found;
}

} // namespace

bool ChooseIS04Version(const std::string& list, std::string& chosen) {
  return Newest(Items(list), chosen);
}

bool ChooseIS04VersionFromListing(const json& listing, std::string& chosen) {
  if (!listing.is_array()) return false;
  std::vector<std::string> offered;
  for (const json& entry : listing) {
    if (!entry.is_string()) continue;
    std::string text = entry.get<std::string>();
    if (!text.empty() && text.back() == '/') text.pop_back();
    offered.push_back(text);
  }
  return Newest(offered, chosen);
}

bool RequiresAuthorization(const std::string& value) {
  for (const std::string& item : Items(value))
    if (item == "false") return false;
  return true;
}

} // namespace Qel_nmos_bridge
