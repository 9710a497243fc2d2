// The bridge is the hub of nmos-bridge: it owns every subsystem, and each subsystem reaches the others
// only through this interface.
#pragma once

#include "NMOSBridgeConfig.h"
#include "Threaded_API.h"
#include "Types.h"

#include <set>
#include <string>

namespace Qel_nmos_bridge {

class IQELNMOSNodeData;
class IQELNMOSRestServer;
class IQELNMOSRegClient;
class IQELNMOSQueryClient;
class IQELConnectionActivations;
class IQELSystemClient;

// Firmware stream identifiers collected during one pass over the transmit streams.
using TUUIDSet = std::set<std::string>;

class IQELNMOSBridge {
public:
  // May throw; the supervision in main() re-creates the bridge then.
  static IQELNMOSBridge* Create(const IQELNMOSConfig* config);

  // One poll of the life cycle (main thread); false once the bridge has reached its end.
  virtual bool DoCycle() = 0;
  virtual void Destroy() = 0;

  // The subsystems, and what they share: the store, the service loop, the configuration and the
  // variables of the route patterns.
  virtual IQELNMOSNodeData& Data() = 0;
  virtual Qel_hosted::IServiceHost& ServiceHost() = 0;
  virtual const IQELNMOSConfig* BoxConfig() const = 0;
  virtual IQELNMOSRegClient& RegClient() = 0;
  virtual IQELNMOSQueryClient& QueryClient() = 0;
  virtual IQELNMOSRestServer& RestSrv() = 0;
  // The IS-09 System API client, which DNS-SD discovery feeds with System APIs.
  virtual IQELSystemClient& SystemClient() = 0;
  // Staging and activation of the Connection API.
  virtual IQELConnectionActivations& Activations() = 0;

  // Asks the firmware to make the receiver's stream follow the sender (an empty document disconnects).
  // False when the receiver has no firmware stream or the command cannot be queued for the firmware;
  // nothing has changed then.
  virtual bool Connect(const std::string& ReceiverUUID, const json& SenderData) = 0;
  // Asks the firmware to make the receiver's stream follow StreamName (empty: none), on behalf of
  // sender SenderUUID (empty: a sender unknown to NMOS), or to stop receiving when Enable is false.
  // Only once the command is queued for the firmware does the receiver change: its IS-05 active
  // parameters become Active (unless it is null), it notes the sender it follows and gets a new
  // version, also at the registry. False, with nothing changed, when the receiver has no firmware
  // stream or the command cannot be queued.
  virtual bool ConnectStream(const std::string& ReceiverUUID, const std::string& SenderUUID,
                             const std::string& StreamName, bool Enable, const json& Active) = 0;
  // The receiver a sender sends to, as a Connection API activation named it (null: none); the sender
  // gets a new version either way.
  virtual bool SetSenderSubscription(const std::string& SenderUUID, const json& ReceiverId) = 0;
  // The receivers are built again from the firmware's last documents (the names of other nodes'
  // senders changed); nothing happens before the firmware's first configuration.
  virtual void RefreshReceivers() = 0;

  // The statistics of "/stats", brought up to date by UpdateStats.
  virtual void UpdateStats() = 0;
  virtual json& GetStats() = 0;
  // What the status page shows beyond the Node API (see TBridgeStatus::Report).
  virtual json StatusReport() = 0;
  virtual ~IQELNMOSBridge() = default;
};

} // namespace Qel_nmos_bridge
