// The bridge object that main() supervises: it owns every subsystem of the running node, runs its
// life-cycle machine from the main thread and drives the service host on one worker thread.
#pragma once

#include "NMOSBridge_API.h"

#include <ctime>

namespace Qel_nmos_bridge {

struct TQELNMOSBridgeData;
class IQELNMOSNodeData;
class TNMOSRestServer;

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

class TQELNMOSBridge : public IQELNMOSBridge {
public:
  TQELNMOSBridge(const IQELNMOSConfig* config, const TQELNMOS_LWSSetup& setup);
  ~TQELNMOSBridge() override;
  TQELNMOSBridge(const TQELNMOSBridge&) = delete;
  TQELNMOSBridge& operator=(const TQELNMOSBridge&) = delete;

  IQELNMOSNodeData& Data() override { return *NMOSNodeData; }
  bool DoCycle() override;
  IVarStorage& AsVS() override;
  IQELNMOSRestServer& RestSrv() override;
  Qel_hosted::IServiceHost& ServiceHost() override { return *FServiceHost; }
  void Terminate() override;
  void Destroy() override { delete this; }
  const IQELNMOSConfig* BoxConfig() const override { return FBoxConfig; }
  bool SetGlobalConfigChanged() override;
  bool SetAttendAES67FW() override;
  int HandleKeyPress(char key) override;
  void UpdateStats() override;
  json& GetStats() override;

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
  void RunKeyRequests(); // worker side of the keys that act on worker-owned objects

  const IQELNMOSConfig* FBoxConfig;
  TQELNMOSBridgeData* FData;
  time_t StartupTime;
  uint32_t CycleTime = 0;
  int MaxStartupTries = 3;
  int CntStartupTries = 0;
  Qel_hosted::IServiceHost* FServiceHost = nullptr;
  IQELNMOSNodeData* NMOSNodeData = nullptr;
  TNMOSRestServer* NMOSRestServer = nullptr;
};

} // namespace Qel_nmos_bridge
