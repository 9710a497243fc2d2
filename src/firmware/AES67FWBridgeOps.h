// The bridge operations the firmware link drives: what a firmware document's changes become.
#pragma once

#include "NMOSBridgeConfig.h"
#include "NMOSNodeData.h"
#include "Threaded_API.h"
#include "Types.h"

#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace Qel_proto_aes67fw {

using json = Qel_nmos_bridge::json;
using TUUIDSet = std::set<std::string>;

// Which streams of a firmware stream list repeat the "id" of one at a lower index. A faulty list may name
// one stream in two slots: the first slot carries it, and the later ones are passed over, so that neither
// their changes nor their loss touch the stream's resources. One pass, whatever the list's length.
inline std::vector<bool> RepeatedStreams(const json& streams) {
  std::vector<bool> repeated(streams.is_array() ? streams.size() : 0, false);
  std::unordered_set<std::string> ids;
  for (size_t i = 0; i < repeated.size(); ++i) {
    const json& stream = streams[i];
    const auto id = stream.is_object() ? stream.find("id") : stream.end();
    if (id == stream.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) continue;
    repeated[i] = !ids.insert(id->get<std::string>()).second;
  }
  return repeated;
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
  // Whether a stream was refused since the last call because another resource held its id (or its
  // source's): a faulty document may give that id back further down, so the streams are built once
  // more when the document has been applied.
  virtual bool TakeRefusedStreams() { return false; }
};

} // namespace Qel_proto_aes67fw
