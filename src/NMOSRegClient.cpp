#include "NMOSRegClient.h"

#include "NMOSNodeData.h"
#include "NMOSRESTHandlers.h"
#include "NMOSRegMachines.h"
#include "helpers.h"

namespace Qel_nmos_bridge {

namespace {

const Qel_rest_srv::TRESTHandlerData NoRoutesData{nullptr};
const Qel_rest_srv::TRESTHandler_Static_Def NoRoutes{NoRoutesData};

// Registration requests go out through the HTTP client, which the client does not have yet: until then
// an action can only fail, which the records' deadlines turn into 404 as for an unreachable registry.
bool ResourceAction(IQELNMOSBaseClient*, const TNMOSActionInfo&) {
  return false;
}

} // namespace

class TQELNMOSRegClient : public TQELNMOSBaseClient, public IQELNMOSRegClient {
public:
  explicit TQELNMOSRegClient(IQELNMOSBridge* bridge)
      : TQELNMOSBaseClient(*bridge, "NMOSReg"), FBridge(bridge) {
    RegisterActionHandler(Register, "register", ResourceAction);
    RegisterActionHandler(Unregister, "unregister", ResourceAction);
    RegisterActionHandler(Update, "update", ResourceAction);
    RegisterActionHandler(Heartbeat, "heartbeat", ResourceAction);
  }
  ~TQELNMOSRegClient() override {
    lws_log(QLLL_INFO, "~TQELNMOSRegClient begin");
    Shutdown();
    lws_log(QLLL_INFO, "~TQELNMOSRegClient end");
  }

  IQELNMOSBaseClient& AsBC() override { return *this; }
  void Destroy() override { delete this; }
  IQELNMOSBridge& Bridge() override { return *FBridge; }

  void RegisterNode() override {
    if (TNMOSStated* node = NodeRecord()) node->Machine.SetEvent(ev_startup);
  }

  void UnregisterNode() override {
    if (TNMOSAPIInfo* api = GetActiveAPI())
      lws_log(QLLL_NOTICE, "%s API Unregister node %s", GetName().c_str(), api->ToString().c_str());
  }

  void NodeRegistered() override {
    if (TNMOSAPIInfo* api = GetActiveAPI()) api->ErrorCount = 0;
    if (auto* node = static_cast<TNMOSResourceInfo*>(NodeRecord())) node->SetChildEvent(ev_register);
  }

  void NodeRegFailed() override {
    if (TNMOSAPIInfo* api = GetActiveAPI())
      if (api->ErrorCount++ > 0) DelAPI(TNMOSAPIInfo(*api));
    if (auto* node = static_cast<TNMOSResourceInfo*>(NodeRecord())) node->SetChildEvent(ev_reset);
  }

  // The node's URLs (the API tree) belong to the bridge from its start: the node's record owns none.
  bool PushNode(std::string ID) override {
    TNMOSStated* record = new TNMOSNodeInfo(*this, NoRoutes);
    if (PushMachine(ID, record)) {
      lws_log(QLLL_DEBUG, "Push node %s created", ID.c_str());
      return true;
    }
    record->Machine.SetEvent(ev_update);
    return false;
  }

  // A record keeps the id of one resource: another resource under the same id is refused while that
  // one lives. A record whose resource has ended and now comes back (its deregistration still under
  // way) is taken back; one that has already ended is replaced.
  bool PushResource(std::string ParentID, std::string ID, std::string Path,
                    const Qel_rest_srv::TRESTHandler_Static_Def& RESTHandlerDef) override {
    auto* parent = static_cast<TNMOSResourceInfo*>(FindMachine(ParentID));
    if (auto* existing = static_cast<TNMOSResourceInfo*>(FindMachine(ID))) {
      if (existing->Path() != Path) {
        if (!existing->Deleting) {
          lws_log(QLLL_ERR, "PushResource: %s is the id of %s, refused for %s", ID.c_str(),
                  existing->Path().c_str(), Path.c_str());
          return false;
        }
        DropMachine(ID); // its deregistration is given up: the id now names another resource
      } else if ((existing = static_cast<TNMOSResourceInfo*>(ReviveMachine(ID)))) {
        existing->SetParent(parent);
        existing->Machine.SetEvent(ev_update);
        return false;
      }
    }
    TNMOSStated* record = new TNMOSResourceInfo(*this, parent, Path, RESTHandlerDef);
    PushMachine(ID, record);
    lws_log(QLLL_DEBUG, "Push resource %s created", ID.c_str());
    return true;
  }

  void HandleAPISelected() override {
    TNMOSAPIInfo* api = GetActiveAPI();
    if (!api) return;
    api->ErrorCount = 0;
    lws_log(QLLL_NOTICE, "%s API Selected: %s", GetName().c_str(), api->ToString().c_str());
    if (TNMOSStated* node = NodeRecord()) node->Machine.SetEvent(ev_register);
  }

  void HandleAPIDegrade() override {
    if (TNMOSAPIInfo* api = GetActiveAPI()) api->IgnoreTime = MonotonicSeconds() + 60;
    SetActiveAPI(nullptr);
  }

  void HandleAPILost() override {
    if (auto* node = static_cast<TNMOSResourceInfo*>(NodeRecord())) {
      node->SetChildEvent(ev_reset);
      node->Machine.SetEvent(ev_reset);
    }
    if (TNMOSAPIInfo* api = GetActiveAPI())
      if (api->ErrorCount++ > 0) DelAPI(TNMOSAPIInfo(*api));
  }

private:
  // The node's record is kept under the node's id.
  TNMOSStated* NodeRecord() {
    IQELNMOSNodeData& data = FBridge->Data();
    TNodeDBReadLocker lock(data);
    const json& id = data.Get("/self/id");
    return id.is_string() ? FindMachine(id.get<std::string>()) : nullptr;
  }

  IQELNMOSBridge* FBridge;
};

IQELNMOSRegClient* IQELNMOSRegClient::Create(IQELNMOSBridge* bridge) {
  return new TQELNMOSRegClient(bridge);
}

} // namespace Qel_nmos_bridge
