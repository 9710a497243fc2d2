#pragma once
#include "Types.h"
#include "Threaded_API.h"
namespace Qel_nmos_bridge { class IQELNMOSBridge; }
namespace Qel_proto_aes67fw {
using Qel_nmos_bridge::json;
class TAES67FWClient {
public:
  explicit TAES67FWClient(Qel_nmos_bridge::IQELNMOSBridge*) {}
  void Destroy() { delete this; }
  bool Subscribe(int, const std::string&) { return true; }
  void Shutdown() {}
  void ResetConnection() {}
};
}
