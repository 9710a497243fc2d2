#include "NMOSRegClient.h"

#include "NMOSNodeData.h"
#include "NMOSRESTHandlers.h"
#include "NMOSRegMachines.h"
#include "helpers.h"

namespace Qel_nmos_bridge {

namespace {

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

  bool PushNode(std::string ID) override {
    TNMOSStated* record = new TNMOSNodeInfo(*this, REST_Def_Node_Read);
    if (PushMachine(ID, record)) {
      lws_log(QLLL_DEBUG, "Push node %s created", ID.c_str());
      return true;
    }
    record->Machine.SetEvent(ev_update);
    return false;
  }

  bool PushResource(std::string ParentID, std::string ID, std::string Path,
                    const Qel_rest_srv::TRESTHandler_Static_Def& RESTHandlerDef) override {
    if (TNMOSStated* existing = FindMachine(ID)) {
      existing->Machine.SetEvent(ev_update);
      return false;
    }
    auto* parent = static_cast<TNMOSResourceInfo*>(FindMachine(ParentID));
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
    if (TNMOSAPIInfo* api = GetActiveAPI()) api->IgnoreTime = time(nullptr) + 60;
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
