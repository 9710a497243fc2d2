// IS-04 v1.2 resource documents and firmware configurations shaped like the ones the bridge handles,
// for filling a store and feeding the comparison with realistic sizes.
#pragma once

#include "Types.h"

#include <string>

namespace Qel_nmos_bridge {

std::string NewUUID();

json SenderDocument(int Index, const std::string& Id, const std::string& FlowId, const std::string& DeviceId);
json ReceiverDocument(int Index, const std::string& Id, const std::string& DeviceId);
json SourceDocument(int Index, const std::string& Id, const std::string& DeviceId);
json FlowDocument(int Index, const std::string& Id, const std::string& SourceId, const std::string& DeviceId);

// A firmware configuration document with Streams transmit and receive streams and channel name tables.
json FirmwareConfig(int Streams);

} // namespace Qel_nmos_bridge
