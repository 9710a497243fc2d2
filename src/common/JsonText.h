// JSON texts that come from outside (request bodies, firmware messages): their nesting is bounded
// before the parser sees them, since the parser recurses once per level.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace Qel_nmos_bridge {

// Deepest nesting of objects and arrays accepted from outside.
constexpr int MaxJSONDepth = 64;

// Deepest nesting of objects and arrays in the text (brackets inside strings do not count); counting
// stops once the limit is passed.
int JsonNestingDepth(const char* text, size_t len, int limit);

// Parses text into out; false with the reason in error for text that is no JSON or nests deeper
// than MaxJSONDepth. Never throws.
bool ParseJSONText(const std::string& text, nlohmann::json& out, std::string& error);

} // namespace Qel_nmos_bridge
