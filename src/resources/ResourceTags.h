// The tags by which controllers tell the node and its device from others (asset tags: maker, product,
// instance, function) and group its senders and receivers (group hints: each of the device's transmit
// streams a role in one group, each receive stream a role in another).
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

// The tags of the node (`function` null) or of the device; `instance` tells this box from any other
// of its kind (the firmware's identifier of the node or of the device).
json AssetTags(const std::string& instance, const char* function);
// The device's function, as its asset tag names it.
extern const char* const DeviceFunction;

// The group hint of the sender (`transmit`) or receiver in firmware slot `slot`: "AES67 TX:Stream 01".
// A slot's role never changes while the slot exists, whatever the firmware names its stream.
json GroupHintTags(bool transmit, uint32_t slot);

} // namespace Qel_nmos_bridge
