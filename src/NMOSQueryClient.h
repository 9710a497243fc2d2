// The query client: follows a registry's Query API so that receivers can be connected to the senders of
// the network by name.
#pragma once

#include "NMOSBaseClient.h"

namespace Qel_nmos_bridge {

class IQELNMOSQueryClient {
public:
  static IQELNMOSQueryClient* Create(IQELNMOSBridge* bridge);

  virtual IQELNMOSBaseClient& AsBC() = 0;
  virtual void Destroy() = 0;
  virtual void Startup() = 0;
  virtual void SubscribeAll() = 0;
  virtual void Shutdown() = 0;
  virtual ~IQELNMOSQueryClient() = default;
};

} // namespace Qel_nmos_bridge
