// The bridge object that main() supervises: it owns every subsystem of the running node, runs its
// life-cycle machine from the main thread and drives the service host on one worker thread.
#pragma once

#include "AES67FWClient.h"
#include "NMOSBridge_API.h"

#include <atomic>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <utility>

namespace Qel_nmos_bridge {

struct TQELNMOSBridgeData;
class TSenderSDPFetcher;
class IQELNMOSNodeData;
class TNMOSRestServer;
class IQELMDNSBridge;
class ILLDPListener;
class TFlowOwners;
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

struct TBridgeControl;
struct TSenderContext;
struct TReceiverContext;

class TQELNMOSBridge : public IQELNMOSBridge, public Qel_proto_aes67fw::IAES67FWBridgeOps {
public:
  TQELNMOSBridge(const IQELNMOSConfig* config, const TQELNMOS_LWSSetup& setup);
  ~TQELNMOSBridge() override;
  TQELNMOSBridge(const TQELNMOSBridge&) = delete;
  TQELNMOSBridge& operator=(const TQELNMOSBridge&) = delete;

  // The hub, as the other subsystems see it.
  bool DoCycle() override;
  void Destroy() override { delete this; }
  IQELNMOSNodeData& Data() override { return *NMOSNodeData; }
  Qel_hosted::IServiceHost& ServiceHost() override { return *FServiceHost; }
  const IQELNMOSConfig* BoxConfig() const override { return FBoxConfig; }
  bool TakeRefusedStreams() override { return std::exchange(StreamsRefused, false); }
  IQELNMOSRegClient& RegClient() override { return *NMOSRegClient; }
  IQELNMOSQueryClient& QueryClient() override { return *NMOSQueryClient; }
  IQELNMOSRestServer& RestSrv() override;
  IQELSystemClient& SystemClient() override;
  IQELConnectionActivations& Activations() override;
  bool Connect(const std::string& ReceiverUUID, const json& SenderData) override;
  bool ConnectStream(const std::string& ReceiverUUID, const std::string& SenderUUID,
                     const std::string& StreamName, bool Enable, const json& Active) override;
  bool SetSenderSubscription(const std::string& SenderUUID, const json& ReceiverId) override;
  void RefreshReceivers() override;
  void UpdateStats() override;
  json& GetStats() override;
  json StatusReport() override;

  // What the firmware client reports: node, device, clocks and interfaces, and the streams.
  void CreateNode(const json& ID) override;
  void CreateDevice(uint32_t Index, const json& ID) override;
  bool SetIPAddress(const json& ip) override;
  bool SetHostName(const json& name) override;
  bool SetClockInfo(uint32_t index, const json& clock) override;
  bool SetInterfaceInfo(uint32_t index, const json& iface) override;
  bool UpdateSenders(const json& streams) override;
  bool UpdateSender(uint32_t index, const json& stream, TUUIDSet& seen) override;
  bool UpdateReceivers(const json& streams, const json& config) override;
  bool UpdateReceiver(uint32_t index, const json& stream) override;

  // The firmware link (tests and benchmarks drive it directly).
  Qel_proto_aes67fw::TAES67FWClient& AESFWClient() { return *FWClient; }

  // "%d Days, %02d:%02d:%02ld" of a number of seconds.
  static std::string FormatUptime(long seconds);

private:
  friend struct TBridgeControl;

  // How Publish writes: only a changed document, or a new version whatever it holds (an activation).
  enum class TPublish { IfChanged, Always };
  // The resources bound to the firmware's slots of one kind of stream.
  struct TSlotKind {
    const char* Collection; // "senders", "receivers"
    const char* Who;        // the log's name of the stream kind
    bool IdFromSlot;        // a stream without an id keeps the one its slot is bound to
    void (TQELNMOSBridge::*Remove)(const std::string& id);
  };
  static const TSlotKind SenderSlots, ReceiverSlots;

  // The life cycle's steps, run by the bridge machine on the main thread.
  bool HandleStartup();
  void HandleRunning();
  void HandleShutdown();
  bool HandleError();
  void Terminate();
  int HandleKeyPress(char key);
  static void PrintHelp();
  // The worker thread's body.
  void Execute();
  void Serve();
  void Cleanup();
  int RequestFromWorker(uint32_t request);
  void RunKeyRequests(); // worker side of the keys that act on worker-owned objects
  void PrintStats();
  IQELMDNSBridge& MDNS() { return *MDNSBridge; }

  // A document built apart becomes the resource at path: when it differs from the stored one (its
  // version aside; with Always in any case) it gets a new version, is written and is pushed to
  // registration below parent (the node itself at "/self"). Returns the change (empty: none).
  json Publish(TNMOS_ResType type, const std::string& path, json doc, const std::string& parent,
               TPublish mode = TPublish::IfChanged);
  // Binds firmware slot `slot` to the resource its stream names and returns that resource's id; a
  // resource the slot carried under another id ends (beforeRebind, when given, runs first, with the
  // id the slot was bound to). "" when the stream cannot be published (the slot's resource ends when
  // the slot is gone or its id belongs to another resource).
  std::string BindSlot(const TSlotKind& kind, uint32_t slot, const json& stream,
                       const std::function<void(const std::string&)>& beforeRebind);
  // Writes a resource's IS-05 constraints and active parameters below internPath where they changed.
  void SetInternDocs(const std::string& internPath, const std::string& name, const char* who,
                     const json& constraints, const json& active);
  // Ends a resource of the node: its documents leave the store at once; its registration record then
  // deregisters it and follows.
  void EndResource(const std::string& id, std::initializer_list<std::string> paths);
  // Whether id already names a resource of the node other than the one stored at path: records,
  // registration records are keyed by id, so two resources must never share one.
  bool IdTakenElsewhere(const std::string& id, const std::string& path);

  // Node and device.
  void SetNodeAddresses(json& node);
  bool SetNodeListEntry(const char* list, uint32_t index, const json& value);
  // The switch port learnt by LLDP on the served interface (null: none) goes into the node's interfaces.
  ILLDPListener* LLDP();
  void AttachedDeviceChanged();
  const json& GetDevice(std::string& path);
  bool UpdateDevice(uint32_t index, const json& config);
  // Senders or receivers came or went: the device's lists follow on the next loop turn.
  void DeviceListsChanged();
  void LearnGrandmaster();
  std::string LearnedGrandmaster(); // "" until a transport file named one
  int64_t GrandmasterAsked = 0;     // when the grandmaster was last asked for, 0: never
  bool StreamsRefused = false;      // see TakeRefusedStreams

  // Senders, their sources and flows.
  void CheckSenderValues(const std::string& uuid, const json& stream);
  TSenderContext SenderContext(uint32_t index, const std::string& uuid);
  // Whose registration a sender's waits for: its flow's when it has one, else its device's.
  std::string SenderParent(const json& sender);
  // The index the flow of the stream in `slot` is built under: the firmware's own, else the slot.
  static int FlowIndex(uint32_t slot, const json& stream);
  // Builds the stream's source and flow; false when the stream has none (disabled, no usable source).
  bool UpdateFlow(uint32_t Index, const json& Stream);
  TFlowOwners& FlowOwners();
  // The sender's flow ends, if it owns one (see RemoveFlow for keptSource).
  void ReleaseFlow(const std::string& sender, const std::string& keptSource);
  bool GetFlowIDBySourceID(const std::string& SourceUUIDStr, std::string& FlowUUIDStr);
  void BuildSourceAndFlow(uint32_t index, const json& stream, int64_t fs, const std::string& deviceId,
                          const std::string& flowId);
  // Ends the flow of stream index n and its source, unless the source is keptSource (the stream's
  // source, built again right after). Senders that name the flow lose it, unless the caller ends the
  // sender itself (detachSenders false: no need to look at every sender).
  bool RemoveFlow(int n, const std::string& keptSource, bool detachSenders);
  void RemoveSender(const std::string& uuid);

  // Receivers.
  TReceiverContext ReceiverContext(const std::string& uuid, const json& stream);
  void Follow(const std::string& receiverId, const std::string& senderId, const std::string& name);
  void RemoveReceiver(const std::string& uuid);

  // Addresses.
  // The address the firmware reports for the device, "" until known.
  std::string ReportedAddress();
  // The node's own address as controllers reach it: the configured interface's, else the reported one.
  std::string NodeAddress();
  // The scheme of the node's own APIs: "https" when the node has a certificate, else "http".
  std::string APIScheme() const;
  // A URL of the firmware service that controllers can follow (never a loopback address when the
  // node's own address is known).
  std::string FirmwareURL(const std::string& path);
  TSenderSDPFetcher& SDPFetcher();

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
