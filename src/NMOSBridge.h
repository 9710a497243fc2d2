// The bridge object that main() supervises: it owns every subsystem of the running node, runs its
// life-cycle machine from the main thread and drives the service host on one worker thread.
#pragma once

#include "AES67FWClient.h"
#include "NMOSBridge_API.h"

#include <atomic>
#include <ctime>
#include <initializer_list>

namespace Qel_nmos_bridge {

struct TQELNMOSBridgeData;
class TSenderSDPFetcher;
class IQELNMOSNodeData;
class TNMOSRestServer;
} // namespace Qel_nmos_bridge
namespace Qel_proto_aes67fw {
class TAES67FWClient;
}
namespace Qel_nmos_bridge {

enum bridgestates {
  bridge_off = 1,
  bridge_on = 2,
  bridge_startup = 3,
  bridge_running = 4,
  bridge_shutdown = 5,
  bridge_error = 6,
  bridge_end = 7
};

enum bridge_events {
  ev_bridge_on = 1,
  ev_bridge_stop = 2,
  ev_bridge_start = 3,
  ev_bridge_error = 4,
  ev_bridge_succes = 5,
  ev_bridge_recover = 6
};

class TQELNMOSBridge : public IQELNMOSBridge, public Qel_proto_aes67fw::IAES67FWBridgeOps {
public:
  TQELNMOSBridge(const IQELNMOSConfig* config, const TQELNMOS_LWSSetup& setup);
  ~TQELNMOSBridge() override;
  TQELNMOSBridge(const TQELNMOSBridge&) = delete;
  TQELNMOSBridge& operator=(const TQELNMOSBridge&) = delete;

  IQELNMOSNodeData& Data() override { return *NMOSNodeData; }
  bool DoCycle() override;
  IVarStorage& AsVS() override;
  IQELNMOSRegClient& RegClient() override { return *NMOSRegClient; }
  IQELNMOSQueryClient& QueryClient() override { return *NMOSQueryClient; }
  Qel_proto_aes67fw::TAES67FWClient& AESFWClient() { return *FWClient; }
  IQELNMOSRestServer& RestSrv() override;
  Qel_hosted::IServiceHost& ServiceHost() override { return *FServiceHost; }
  IQELMDNSBridge& MDNS() override { return *MDNSBridge; }
  void Terminate() override;
  void Destroy() override { delete this; }
  const IQELNMOSConfig* BoxConfig() const override { return FBoxConfig; }
  bool SetGlobalConfigChanged() override;
  bool SetAttendAES67FW() override;
  int HandleKeyPress(char key) override;
  void UpdateStats() override;
  json& GetStats() override;

  void CreateNode(const json& ID) override;
  void DestroyNode() override;
  void CreateDevice(uint32_t Index, const json& ID) override;
  const json& GetDevice(std::string& path) override;
  bool UpdateDevice(uint32_t index, const json& config) override;
  bool SetIPAddress(const json& ip) override;
  bool SetHostName(const json& name) override;
  bool SetClockInfo(uint32_t index, const json& clock) override;
  bool SetInterfaceInfo(uint32_t index, const json& iface) override;
  bool UpdateSenders(const json& streams) override;
  bool UpdateSender(uint32_t index, const json& stream, TUUIDSet& seen) override;
  bool UpdateReceivers(const json& streams, const json& config) override;
  bool UpdateReceiver(uint32_t index, const json& stream) override;
  void RefreshReceivers() override;
  bool UpdateFlow(uint32_t Index, const json& Stream, bool ForceRemove) override;
  bool GetFlowIDBySourceID(const std::string& SourceUUIDStr, std::string& FlowUUIDStr) override;
  bool Connect(const std::string& ReceiverUUID, const json& SenderData) override;
  bool ConnectStream(const std::string& ReceiverUUID, const std::string& SenderUUID,
                     const std::string& StreamName, bool Enable, const json& Active) override;
  bool SetSenderSubscription(const std::string& SenderUUID, const json& ReceiverId) override;
  IQELConnectionActivations& Activations() override;
  void LearnGrandmaster();
  // Whose registration a sender's waits for: its flow's when it has one, else its device's.
  std::string SenderParent(const std::string& deviceId, const std::string& senderPath);
  std::string LearnedGrandmaster(); // "" until a transport file named one
  int64_t GrandmasterAsked = 0;     // when the grandmaster was last asked for, 0: never
  void Follow(const std::string& receiverId, const std::string& senderId, const std::string& name);
  void ResetNode();

  // Sets the members every resource has; false for a type outside the resource kinds.
  static bool NMOSUpdate_ResourceCore(TNMOS_ResType type, json& res, const std::string& id);

  // The worker thread's body.
  void Execute();
  const IVarStorage& AsVS() const;
  void PrintStats();

  // The life cycle's steps, run by the bridge machine on the main thread.
  bool HandleStartup();
  void HandleRunning();
  void HandleShutdown();
  bool HandleError();
  int MachineState() const;

  // "%d Days, %02d:%02d:%02ld" of a number of seconds.
  static std::string FormatUptime(long seconds);

private:
  void Serve();
  void Cleanup();
  int RequestFromWorker(uint32_t request);
  void RunKeyRequests(); // worker side of the keys that act on worker-owned objects
  bool SetNodeListEntry(const char* list, uint32_t index, const json& value);
  // The address the firmware reports for the device, "" until known.
  std::string ReportedAddress();
  // The node's own address as controllers reach it: the configured interface's, else the reported one.
  std::string NodeAddress();
  TSenderSDPFetcher& SDPFetcher();
  // Senders or receivers came or went: the device's lists follow on the next loop turn.
  void DeviceListsChanged();
  // A URL of the firmware service that controllers can follow (never a loopback address when the
  // node's own address is known).
  std::string FirmwareURL(const std::string& path);
  void BuildSourceAndFlow(uint32_t index, const json& stream, int64_t fs, const std::string& deviceId,
                          const std::string& flowId);
  // Ends the flow of stream index n and its source, unless the source is keptSource (the stream's
  // source, built again right after). Senders that name the flow lose it, unless the caller ends the
  // sender itself (detachSenders false: no need to look at every sender).
  bool RemoveFlow(int n, const std::string& keptSource, bool detachSenders);
  void RemoveSender(const std::string& uuid);
  void RemoveReceiver(const std::string& uuid);
  // Ends a resource of the node: its documents leave the store and its URLs the route table at once;
  // its registration record then deregisters it and follows.
  void EndResource(const std::string& id, std::initializer_list<std::string> paths);
  // Whether id already names a resource of the node other than the one stored at path: records,
  // routes and registrations are keyed by id, so two resources must never share one.
  bool IdTakenElsewhere(const std::string& id, const std::string& path);

  const IQELNMOSConfig* FBoxConfig;
  TQELNMOSBridgeData* FData;
  time_t StartupTime;
  std::atomic<uint32_t> CycleTime{0}; // folded by the main thread's DoCycle, read by the worker's stats
  int MaxStartupTries = 3;
  int CntStartupTries = 0;
  Qel_hosted::IServiceHost* FServiceHost = nullptr;
  IQELNMOSNodeData* NMOSNodeData = nullptr;
  IQELNMOSRegClient* NMOSRegClient = nullptr;
  IQELNMOSQueryClient* NMOSQueryClient = nullptr;
  TNMOSRestServer* NMOSRestServer = nullptr;
  Qel_proto_aes67fw::TAES67FWClient* FWClient = nullptr;
  IQELMDNSBridge* MDNSBridge = nullptr;
};

} // namespace Qel_nmos_bridge
