// The members every NMOS resource document has, whatever its kind.
#pragma once

#include "Types.h"

#include <string>

namespace Qel_nmos_bridge {

// Sets the core members of `res` (made an object first): its kind, id, description and tags; a label
// and version it already has stay. False for a type outside the resource kinds.
bool ResourceCore(TNMOS_ResType type, json& res, const std::string& id);

// A fresh document of the kind with its core members.
json NewResource(TNMOS_ResType type, const std::string& id);

} // namespace Qel_nmos_bridge
