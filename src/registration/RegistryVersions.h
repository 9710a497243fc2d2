// Which IS-04 version the node speaks with a registry: the highest of the node's versions that the
// registry also serves, from its DNS-SD TXT records or from its own list of versions.
#pragma once

#include "Types.h"

#include <string>

namespace Qel_nmos_bridge {

// The newest of the node's versions named in a comma-separated list ("v1.0,v1.2,v1.3"; blanks around
// items are allowed, items that are no version or not the node's are passed over). False when the
// list names none of them.
bool ChooseIS04Version(const std::string& list, std::string& chosen);

// The same from a registry's answer to a GET of its API's base ("/x-nmos/registration/"): a JSON array
// of texts such as "v1.2/". False when the answer is no such array or names none of the node's versions.
bool ChooseIS04VersionFromListing(const json& listing, std::string& chosen);

// What an "api_auth" TXT record says: false when the registry can be used without authorization
// ("false", or a comma-separated list naming "false"), true when it requires it ("true"), and true too
// for any other value, which cannot be taken to allow anything.
bool RequiresAuthorization(const std::string& value);

} // namespace Qel_nmos_bridge
