// Matching of a text against a pattern in which '*' stands for any run of characters (none too).
#pragma once

#include <string>

namespace Qel_auth {

// In time proportional to the product of both lengths at worst, never exponential.
bool WildcardMatch(const std::string& pattern, const std::string& text);

} // namespace Qel_auth
