// The registration client: keeps the node's resources registered at an IS-04 Registration API, at the
// newest IS-04 version the registry and the node both serve.
// The bridge tells it which resources exist (PushNode, PushResource) and when to start (RegisterNode).
#pragma once

#include "NMOSBaseClient.h"

#include <string>

namespace Qel_nmos_bridge {

// The node's registration in plain words: held by a registry, under way (a registry is known and the
// node is being registered or fails over), or neither.
enum class TRegistrationState { Unregistered = 0, Registering = 1, Registered = 2 };

class IQELNMOSRegClient {
public:
  static IQELNMOSRegClient* Create(IQELNMOSBridge* bridge);

  virtual IQELNMOSBaseClient& AsBC() = 0;
  virtual void Destroy() = 0;
  virtual IQELNMOSBridge& Bridge() = 0;
  virtual void RegisterNode() = 0;
  virtual void UnregisterNode() = 0;
  // True when the record is new; an existing record gets "update" (its document changed).
  virtual bool PushNode(std::string ID) = 0;
  virtual bool PushResource(std::string ParentID, std::string ID, std::string Path) = 0;
  virtual TRegistrationState RegistrationState() = 0;
  // Seconds between the node's heartbeats (5 until the system sets another, 1 to 1000): a registered
  // node's next heartbeat comes no later than the new interval from now.
  virtual void SetHeartbeatInterval(unsigned seconds) = 0;
  virtual unsigned HeartbeatInterval() const = 0;
  virtual ~IQELNMOSRegClient() = default;
};

} // namespace Qel_nmos_bridge
