// Checks of the documents controllers send, before anything is stored or acted on: what a Connection
// API version lets a controller stage on a sender or a receiver (members, types, ranges, as many
// transport legs as the resource has, the resource's constraints), and what an IS-04 receiver "target"
// takes (a sender document, or {} to disconnect).
#pragma once

#include "ConnectionViews.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

// An NMOS identifier: a UUID in lower case, as the IS-04 schemas define it.
bool IsNMOSID(const std::string& text);

// True when body may be staged on a sender with `legs` transport legs at a version with these rules;
// otherwise why says what is wrong.
bool CheckSenderStage(const nlohmann::json& body, size_t legs, const TConnectionRules& rules,
                      std::string& why);

// True when body may be staged on a receiver with `legs` transport legs at a version with these rules;
// otherwise why says what is wrong.
bool CheckReceiverStage(const nlohmann::json& body, size_t legs, const TConnectionRules& rules,
                        std::string& why);

// True when every transport parameter that `legs` names satisfies the leg's entry in `constraints`
// ("auto" always does: the node resolves it); a parameter without an entry cannot be set.
bool CheckConstraints(const nlohmann::json& legs, const nlohmann::json& constraints, std::string& why);

// A TAI time "<seconds>:<nanoseconds>" as nanoseconds; false for anything else (or beyond 2^62 ns).
bool ParseTAITime(const std::string& text, int64_t& nanoseconds);

// True when body may be put to a receiver's "target": {} or a sender document with the members
// every IS-04 version requires; otherwise why says what is wrong.
bool CheckTargetSender(const nlohmann::json& body, std::string& why);

} // namespace Qel_nmos_bridge
