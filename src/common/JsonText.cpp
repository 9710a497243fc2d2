#include "JsonText.h"

#include <algorithm>

namespace Qel_nmos_bridge {

int JsonNestingDepth(const char* text, size_t len, int limit) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (size_t i = 0; i < len && deepest <= limit; ++i) {
    const char ch = text[i];
    if (inString) {
      if (escaped)
        escaped = false;
      else if (ch == '\\')
        escaped = true;
      else if (ch == '"')
        inString = false;
    } else if (ch == '"') {
      inString = true;
    } else if (ch == '[' || ch == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((ch == ']' || ch == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

bool ParseJSONText(const std::string& text, nlohmann::json& out, std::string& error) {
  if (JsonNestingDepth(text.data(), text.size(), MaxJSONDepth) > MaxJSONDepth) {
    error = "JSON nested deeper than " + std::to_string(MaxJSONDepth) + " levels";
    return false;
  }
  try {
    out = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

} // namespace Qel_nmos_bridge
