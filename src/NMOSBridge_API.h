// The bridge is the hub of nmos-bridge: it owns every subsystem, and each subsystem reaches the others
// only through this interface.
#pragma once

#include "NMOSBridgeConfig.h"
#include "Threaded_API.h"
#include "Types.h"
#include "VarStorage.h"

namespace Qel_nmos_bridge {

class IQELNMOSNodeData;
class IQELNMOSRestServer;

class IQELNMOSBridge {
public:
  // May throw; the supervision in main() re-creates the bridge then.
  static IQELNMOSBridge* Create(const IQELNMOSConfig* config);
  static void PrintHelp();

  virtual IQELNMOSNodeData& Data() = 0;
  // One poll of the life cycle (main thread); false once the bridge has reached its end.
  virtual bool DoCycle() = 0;
  virtual IVarStorage& AsVS() = 0;
  virtual IQELNMOSRestServer& RestSrv() = 0;
  virtual Qel_hosted::IServiceHost& ServiceHost() = 0;
  virtual void Terminate() = 0;
  virtual void Destroy() = 0;
  virtual const IQELNMOSConfig* BoxConfig() const = 0;
  virtual bool SetGlobalConfigChanged() = 0;
  virtual bool SetAttendAES67FW() = 0;
  virtual int HandleKeyPress(char key) = 0;
  virtual void UpdateStats() = 0;
  virtual json& GetStats() = 0;
  virtual ~IQELNMOSBridge() = default;
};

} // namespace Qel_nmos_bridge
