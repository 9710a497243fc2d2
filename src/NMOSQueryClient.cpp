#include "NMOSQueryClient.h"

namespace Qel_nmos_bridge {

// So far the query client only keeps its place among the bridge's subsystems: it has the base client's
// endpoint list and machine map but makes no Query API requests and no subscriptions yet. Until it
// does, the sender name table stays empty unless something else fills it, and Startup() and
// SubscribeAll() have nothing to start.
class TQELNMOSQueryClient : public TQELNMOSBaseClient, public IQELNMOSQueryClient {
public:
  explicit TQELNMOSQueryClient(IQELNMOSBridge* bridge) : TQELNMOSBaseClient(*bridge, "NMOSQuery") {}

  IQELNMOSBaseClient& AsBC() override { return *this; }
  void Destroy() override { delete this; }
  void Startup() override {}
  void SubscribeAll() override {}
  void Shutdown() override { TQELNMOSBaseClient::Shutdown(); }
};

IQELNMOSQueryClient* IQELNMOSQueryClient::Create(IQELNMOSBridge* bridge) {
  return new TQELNMOSQueryClient(bridge);
}

} // namespace Qel_nmos_bridge
