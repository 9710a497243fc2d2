// Checks of the documents controllers send, before anything is stored or acted on: what IS-05 v1.0
// lets a controller stage on a sender (members, types, ranges, as many transport legs as the sender
// has), and what an IS-04 receiver "target" takes (a sender document, or {} to disconnect).
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace Qel_nmos_bridge {

// An NMOS identifier: a UUID in lower case, as the IS-04 schemas define it.
bool IsNMOSID(const std::string& text);

// True when body may be staged on a sender with `legs` transport legs; otherwise why says what is wrong.
bool CheckSenderStage(const nlohmann::json& body, size_t legs, std::string& why);

// True when body may be put to a receiver's "target": {} or a sender document with the members
// every IS-04 version requires; otherwise why says what is wrong.
bool CheckTargetSender(const nlohmann::json& body, std::string& why);

} // namespace Qel_nmos_bridge
