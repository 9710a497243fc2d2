// The bridge operations the firmware link drives: what a firmware document's changes become.
#pragma once

#include "NMOSBridgeConfig.h"
#include "NMOSNodeData.h"
#include "Threaded_API.h"
#include "Types.h"

#include <cstdint>
#include <set>
#include <string>

namespace Qel_proto_aes67fw {

using json = Qel_nmos_bridge::json;
using TUUIDSet = std::set<std::string>;

// Whether the stream at `index` of a firmware stream list is listed at a lower index already (by its
// "id"). A faulty list may name one stream in two slots: the first slot carries it, and the later one
// is passed over, so that neither its changes nor its loss touch the stream's resources.
inline bool ListedBefore(const json& streams, size_t index) {
  if (!streams.is_array() || index >= streams.size()) return false;
  const json& stream = streams[index];
  const auto id = stream.is_object() ? stream.find("id") : stream.end();
  if (id == stream.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) return false;
  for (size_t i = 0; i < index; ++i) {
    const json& other = streams[i];
    const auto otherId = other.is_object() ? other.find("id") : other.end();
    if (otherId != other.end() && *otherId == *id) return true;
  }
  return false;
}

class IAES67FWBridgeOps {
public:
  virtual ~IAES67FWBridgeOps() = default;
  virtual void CreateNode(const json& nodeId) = 0;
  virtual void CreateDevice(uint32_t index, const json& deviceId) = 0;
  virtual bool UpdateSenders(const json& streams) = 0;
  virtual bool UpdateSender(uint32_t index, const json& stream, TUUIDSet& seen) = 0;
  virtual bool UpdateReceivers(const json& streams, const json& state) = 0;
  virtual bool UpdateReceiver(uint32_t index, const json& stream) = 0;
  virtual bool SetIPAddress(const json& address) = 0;
  virtual bool SetHostName(const json& name) = 0;
  virtual bool SetClockInfo(uint32_t index, const json& clock) = 0;
  virtual bool SetInterfaceInfo(uint32_t index, const json& interface) = 0;
  virtual Qel_nmos_bridge::IQELNMOSNodeData& Data() = 0;
  virtual Qel_hosted::IServiceHost& ServiceHost() = 0;
  virtual const IQELNMOSConfig* BoxConfig() const = 0;
};

} // namespace Qel_proto_aes67fw
