// The bridge is the hub of nmos-bridge: it owns every subsystem, and each subsystem reaches the others
// only through this interface.
#pragma once

#include "NMOSBridgeConfig.h"
#include "Threaded_API.h"
#include "Types.h"
#include "VarStorage.h"

#include <set>
#include <string>

namespace Qel_nmos_bridge {

class IQELNMOSNodeData;
class IQELNMOSRestServer;
class IQELNMOSRegClient;
class IQELNMOSQueryClient;
class IQELMDNSBridge;
class IQELConnectionActivations;

// Firmware stream identifiers collected during one pass over the transmit streams.
using TUUIDSet = std::set<std::string>;

class IQELNMOSBridge {
public:
  // May throw; the supervision in main() re-creates the bridge then.
  static IQELNMOSBridge* Create(const IQELNMOSConfig* config);
  static void PrintHelp();

  virtual IQELNMOSNodeData& Data() = 0;
  // One poll of the life cycle (main thread); false once the bridge has reached its end.
  virtual bool DoCycle() = 0;
  virtual IVarStorage& AsVS() = 0;
  virtual IQELNMOSRegClient& RegClient() = 0;
  virtual IQELNMOSQueryClient& QueryClient() = 0;
  virtual IQELNMOSRestServer& RestSrv() = 0;
  virtual Qel_hosted::IServiceHost& ServiceHost() = 0;
  virtual IQELMDNSBridge& MDNS() = 0;
  virtual void Terminate() = 0;
  virtual void Destroy() = 0;
  virtual const IQELNMOSConfig* BoxConfig() const = 0;
  virtual bool SetGlobalConfigChanged() = 0;
  virtual bool SetAttendAES67FW() = 0;
  virtual int HandleKeyPress(char key) = 0;

  // Node and device (the firmware's identifiers, host name, address, interface and clocks).
  virtual void CreateNode(const json& ID) = 0;
  virtual void DestroyNode() = 0;
  virtual void CreateDevice(uint32_t Index, const json& ID) = 0;
  virtual const json& GetDevice(std::string& path) = 0;
  virtual bool UpdateDevice(uint32_t index, const json& config) = 0;
  virtual bool SetIPAddress(const json& ip) = 0;
  virtual bool SetHostName(const json& name) = 0;
  virtual bool SetClockInfo(uint32_t index, const json& clock) = 0;
  virtual bool SetInterfaceInfo(uint32_t index, const json& iface) = 0;
  // Sources, flows and senders from the firmware's transmit streams.
  virtual bool UpdateSenders(const json& streams) = 0;
  virtual bool UpdateSender(uint32_t index, const json& stream, TUUIDSet& seen) = 0;
  // Receivers from the firmware's receive streams.
  virtual bool UpdateReceivers(const json& streams, const json& config) = 0;
  virtual bool UpdateReceiver(uint32_t index, const json& stream) = 0;
  // The receivers are built again from the firmware's last documents (the names they follow changed).
  virtual void RefreshReceivers() = 0;
  virtual bool UpdateFlow(uint32_t Index, const json& Stream, bool ForceRemove) = 0;
  virtual bool GetFlowIDBySourceID(const std::string& SourceUUIDStr, std::string& FlowUUIDStr) = 0;
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
  // Staging and activation of the Connection API.
  virtual IQELConnectionActivations& Activations() = 0;

  virtual void UpdateStats() = 0;
  virtual json& GetStats() = 0;
  virtual ~IQELNMOSBridge() = default;
};

} // namespace Qel_nmos_bridge
