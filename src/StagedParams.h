// What IS-05 v1.0 lets a controller stage on a sender: the members, their types and ranges, and as
// many transport legs as the sender has. Checked before anything is stored.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace Qel_nmos_bridge {

// True when body may be staged on a sender with `legs` transport legs; otherwise why says what is wrong.
bool CheckSenderStage(const nlohmann::json& body, size_t legs, std::string& why);

} // namespace Qel_nmos_bridge
