#include "NMOSRegClient.h"

#include "NMOSNodeData.h"
#include "NMOSRegMachines.h"
#include "VersionViews.h"
#include "helpers.h"

#include <algorithm>

namespace Qel_nmos_bridge {

namespace {

// The active registry's Registration API base at the version chosen for it
// ("http://ADDR:PORT/x-nmos/registration/v1.3"); false when no registry is active.
bool BaseURL(IQELNMOSBaseClient* client, std::string& url, std::string* version = nullptr) {
  const TNMOSAPIInfo* api = client->GetActiveAPI();
  if (!api || api->Version.empty()) return false;
  url = api->BaseURL();
  if (version) *version = api->Version;
  return true;
}

// The stored document of the action's record; null (logged) when the store holds nothing there.
json StoredDocument(IQELNMOSBaseClient* client, const TNMOSActionInfo& action) {
  IQELNMOSNodeData& data = client->Bridge().Data();
  TNodeDBReadLocker lock(data);
  json doc = data.Get(action.State.Machine.Name().c_str());
  if (doc.is_null())
    lws_log(QLLL_WARN, "NMOS_REQUEST %p Database of Machine %s containes NULLVALUE",
            static_cast<const void*>(&action), action.State.Machine.Name().c_str());
  return doc;
}

TQELNMOSBaseClient* Base(IQELNMOSBaseClient* client) {
  return static_cast<TQELNMOSBaseClient*>(client);
}

// POST /resource with {"type", "data"}: registration and update alike. The document is the stored one
// as the registry's version has it.
bool PostResource(IQELNMOSBaseClient* client, const TNMOSActionInfo& action, bool needType) {
  std::string url, version;
  if (!BaseURL(client, url, &version)) return false;
  json doc = StoredDocument(client, action);
  if (doc.is_null()) return false;
  const std::string type = IQELNMOSNodeData::JsonExtract(doc, "resource_type", json("")).get<std::string>();
  if (needType && type.empty()) {
    lws_log(QLLL_ERR, "Cannot register %s - no resource type given!", doc.dump().c_str());
    return false;
  }
  action.State.Dirty = false; // what goes out now is the current document
  TNMOS_ResType kind;
  if (ResTypeOfCollection((type + "s").c_str(), kind) && ViewDiffers(kind, version))
    doc = VersionView(doc, kind, version);
  json body = {{"type", type}, {"data", std::move(doc)}};
  return Base(client)->Request(action, url + "/resource", "POST",
                               body.dump(2, ' ', true, json::error_handler_t::replace));
}

bool ResourceRegister(IQELNMOSBaseClient* client, const TNMOSActionInfo& action) {
  return PostResource(client, action, true);
}

bool ResourceUpdate(IQELNMOSBaseClient* client, const TNMOSActionInfo& action) {
  return PostResource(client, action, false);
}

// The resource named by the record's path ("/senders/<id>" is the sender <id>): the bridge has
// usually removed the document already when its deregistration goes out.
bool ResourceUnregister(IQELNMOSBaseClient* client, const TNMOSActionInfo& action) {
  std::string url;
  if (!BaseURL(client, url)) return false;
  const std::string& path = action.State.Machine.Name();
  std::string kind, id;
  if (path == "/self") {
    IQELNMOSNodeData& data = client->Bridge().Data();
    TNodeDBReadLocker lock(data);
    kind = "nodes";
    id = IQELNMOSNodeData::JsonExtract(data.Get("/self"), "id", json("")).get<std::string>();
  } else {
    const size_t slash = path.find('/', 1);
    if (slash != std::string::npos) {
      kind = path.substr(1, slash - 1);
      id = path.substr(slash + 1);
    }
  }
  if (kind.empty() || id.empty()) return false;
  return Base(client)->Request(action, url + "/resource/" + kind + "/" + id, "DELETE", "");
}

bool SendHeartbeat(IQELNMOSBaseClient* client, const TNMOSActionInfo& action) {
  std::string url;
  if (!BaseURL(client, url)) return false;
  std::string id;
  {
    IQELNMOSNodeData& data = client->Bridge().Data();
    TNodeDBReadLocker lock(data);
    const json& value = data.Get("/self/id");
    if (!value.is_string()) return false;
    id = value.get<std::string>();
  }
  if (!client->FindMachine(id)) return true;
  // A heartbeat carries no body and so no content type.
  return Base(client)->Request(action, url + "/health/nodes/" + id, "POST", "");
}

} // namespace

class TQELNMOSRegClient : public TQELNMOSBaseClient, public IQELNMOSRegClient {
public:
  explicit TQELNMOSRegClient(IQELNMOSBridge* bridge)
      : TQELNMOSBaseClient(*bridge, "NMOSReg"), FBridge(bridge) {
    RegisterActionHandler(Register, "register", ResourceRegister);
    RegisterActionHandler(Unregister, "unregister", ResourceUnregister);
    RegisterActionHandler(Update, "update", ResourceUpdate);
    RegisterActionHandler(Heartbeat, "heartbeat", SendHeartbeat);
    // Registries named on the command line stand beside those found by discovery.
    for (const TRegistryAddress& registry : bridge->BoxConfig()->GetRegistries())
      AddAPI(registry.Host.c_str(), registry.Port, 0, "/x-nmos/registration",
             registry.Host + ":" + std::to_string(registry.Port), ""); // asked for its versions
  }
  ~TQELNMOSRegClient() override {
    lws_log(QLLL_INFO, "~TQELNMOSRegClient begin");
    Shutdown();
    lws_log(QLLL_INFO, "~TQELNMOSRegClient end");
  }

  IQELNMOSBaseClient& AsBC() override { return *this; }
  void Destroy() override { delete this; }
  IQELNMOSBridge& Bridge() override { return *FBridge; }

  // A registry refuses a node without an address ("href"): the node's registration starts once the
  // firmware has told the node's address.
  void RegisterNode() override {
    StartWanted = true;
    StartWhenReady();
  }

  // Called on the worker when the bridge stops, while its loop can still turn: the node is deleted at
  // the registry that holds it (which drops its resources with it), waiting 2 s at most.
  void UnregisterNode() override {
    TNMOSAPIInfo* api = GetActiveAPI();
    auto* node = static_cast<TNMOSResourceInfo*>(NodeRecord());
    if (!api || !node || !node->IsRegistered()) return;
    lws_log(QLLL_NOTICE, "%s API Unregister node %s", GetName().c_str(), api->ToString().c_str());
    node->Machine.SetEvent(ev_quit);
    const int64_t deadline = MonotonicMilliseconds() + UnregisterWaitMs;
    while (node->Machine.GetStateID() != node_off && MonotonicMilliseconds() < deadline)
      FBridge->ServiceHost().DoCycle();
    if (node->Machine.GetStateID() != node_off)
      lws_log(QLLL_NOTICE, "Node unregistration timed out after %u seconds.",
              static_cast<unsigned>(UnregisterWaitMs / 1000));
  }
  static constexpr int64_t UnregisterWaitMs = 2000;

  TRegistrationState RegistrationState() override {
    auto* node = dynamic_cast<TNMOSNodeInfo*>(NodeRecord());
    if (!node) return TRegistrationState::Unregistered;
    if (node->IsRegistered()) return TRegistrationState::Registered;
    switch (node->Machine.GetStateID()) {
    case node_reg_pending:
    case node_changereg:
    case node_reregister:
    case node_failover:
      return TRegistrationState::Registering;
    case node_searching:
      return AnyEligibleAPI() ? TRegistrationState::Registering : TRegistrationState::Unregistered;
    default:
      return TRegistrationState::Unregistered;
    }
  }

  bool PushNode(std::string ID) override {
    auto* node = new TNMOSNodeInfo(*this);
    node->HeartbeatMs = HeartbeatSeconds * 1000ULL;
    TNMOSStated* record = node;
    if (PushMachine(ID, record)) {
      lws_log(QLLL_DEBUG, "Push node %s created", ID.c_str());
      return true;
    }
    record->Dirty = true;
    record->Machine.SetEvent(ev_update);
    StartWhenReady();
    return false;
  }

  // A record keeps the id of one resource: another resource under the same id is refused while that
  // one lives. A record whose resource has ended and now comes back (its deregistration still under
  // way) is taken back; one that has already ended is replaced.
  bool PushResource(std::string ParentID, std::string ID, std::string Path) override {
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
        existing->Dirty = true;
        existing->Machine.SetEvent(ev_update);
        // Under a registered parent (maybe a new one) it registers if it is not registered yet.
        if (parent && parent->IsRegistered()) existing->Machine.SetEvent(ev_register);
        return false;
      }
    }
    TNMOSStated* record = new TNMOSResourceInfo(*this, parent, Path);
    PushMachine(ID, record);
    lws_log(QLLL_DEBUG, "Push resource %s created", ID.c_str());
    // Below a registered parent it registers at once; otherwise the parent's registration starts it.
    if (parent && parent->IsRegistered()) record->Machine.SetEvent(ev_register);
    return true;
  }

  void SetHeartbeatInterval(unsigned seconds) override {
    seconds = std::max(1u, std::min(seconds, 1000u));
    if (seconds != HeartbeatSeconds)
      lws_log(QLLL_NOTICE, "%s heartbeat interval %u s", GetName().c_str(), seconds);
    HeartbeatSeconds = seconds;
    auto* node = static_cast<TNMOSNodeInfo*>(NodeRecord());
    if (!node) return;
    node->HeartbeatMs = seconds * 1000ULL;
    const uint64_t latest = uv_now(FBridge->ServiceHost().Loop()) + node->HeartbeatMs;
    if (node->NextHeartbeat > latest) node->NextHeartbeat = latest;
  }
  unsigned HeartbeatInterval() const override { return HeartbeatSeconds; }

  void HandleAPISelected() override {
    TNMOSAPIInfo* api = GetActiveAPI();
    if (!api) return;
    api->ErrorCount = 0;
    lws_log(QLLL_NOTICE, "%s API Selected: %s", GetName().c_str(), api->ToString().c_str());
    if (TNMOSStated* node = NodeRecord()) node->Machine.SetEvent(ev_register);
  }

  void HandleAPIDegrade() override { ShunActiveAPI(); }

  void HandleAPILost() override {
    if (auto* node = static_cast<TNMOSResourceInfo*>(NodeRecord())) node->SetChildEvent(ev_reset);
    ShunActiveAPI();
  }

private:
  // A registry that failed is not chosen again for 60 s while another one can be (with none left,
  // the node keeps trying the failed ones, once a second). It stays known: only discovery removes
  // registries, so that one that comes back is found again. One that told its versions when asked is
  // asked again: what comes back there may serve other versions.
  void ShunActiveAPI() {
    TNMOSAPIInfo* api = GetActiveAPI();
    if (!api) return;
    ++api->ErrorCount;
    api->IgnoreTime = static_cast<time_t>(MonotonicSeconds()) + IgnoreSeconds;
    UnselectAPI();
    AskVersionsAgain(*api);
  }
  static constexpr time_t IgnoreSeconds = 60;

  void StartWhenReady() {
    if (!StartWanted) return;
    TNMOSStated* node = NodeRecord();
    std::string href;
    {
      IQELNMOSNodeData& data = FBridge->Data();
      TNodeDBReadLocker lock(data);
      href = IQELNMOSNodeData::JsonExtract(data.Get("/self"), "href", json("")).get<std::string>();
    }
    if (!node || href.empty()) return;
    StartWanted = false;
    node->Machine.SetEvent(ev_startup);
  }
  bool StartWanted = false;
  unsigned HeartbeatSeconds = static_cast<unsigned>(HEARTBEAT_INTERVAL);

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
