// What a resource document is at one IS-04 version. The store keeps every document as the newest
// version the node serves describes it; an older version sees it without the members it does not
// define, so that one stored document gives every version's view.
#pragma once

#include "Types.h"

#include <string>

namespace Qel_nmos_bridge {

// The IS-04 versions the node serves, oldest first (as they read in URLs).
extern const char* const IS04Versions[3];
// The newest of them.
extern const char* const IS04Newest;

// Whether `doc` of that kind reads differently at `version`: false means the stored document is the
// view itself and need not be copied.
bool ViewDiffers(TNMOS_ResType type, const std::string& version);

// The document of that kind as `version` has it. A version the node does not know gets the stored
// document unchanged.
json VersionView(const json& doc, TNMOS_ResType type, const std::string& version);

// The kind of a Node API collection ("self", "devices", "senders" ...); false for any other name.
bool ResTypeOfCollection(const char* collection, TNMOS_ResType& type);

// Orders IS-04 version texts ("v1.0" < "v1.2" < "v1.10"); false when either is no "vMAJOR.MINOR".
bool VersionLess(const std::string& a, const std::string& b, bool& less);

} // namespace Qel_nmos_bridge
