#include "NMOSBaseClient.h"

#include "NMOSNodeData.h"
#include "helpers.h"

#include <algorithm>
#include <deque>
#include <list>
#include <map>
#include <memory>

namespace Qel_nmos_bridge {

std::string TNMOSAPIInfo::ToString() const {
  return "http://" + Addr + ":" + std::to_string(Port) + URI + "/v1.2";
}

TNMOSStated::TNMOSStated(uv_loop_t* loop, const std::string& name, const Qel_machine::TState* states)
    : Machine(loop, this, name, states) {}

void TNMOSStated::Dump() {
  lws_log(QLLL_DEBUG, "Machine %s State(%s)", Machine.Name().c_str(), Machine.GetStateName());
}

TNMOSActionInfo::TNMOSActionInfo(int action, TNMOSStated& state) : ActionID(action), State(state) {
  lws_log(QLLL_NMOS_BASE, "NMOS_REQUEST %p created : %s", static_cast<void*>(this),
          State.Machine.Name().c_str());
}

TNMOSActionInfo::TNMOSActionInfo(const TNMOSActionInfo& other)
    : ActionID(other.ActionID), State(other.State) {
  lws_log(QLLL_NMOS_BASE, "NMOS_REQUEST %p created : %s", static_cast<void*>(this),
          State.Machine.Name().c_str());
}

TNMOSActionInfo::~TNMOSActionInfo() {
  lws_log(QLLL_NMOS_BASE, "NMOS_REQUEST %p destroyed", static_cast<void*>(this));
}

struct TNMOSActionNamedHandler {
  std::string Name;
  TNMOSActionHandler Handler;
};

void TStatedDeleter::operator()(TNMOSStated* s) const {
  s->Destroy();
}

struct TNMOSClientData {
  TNMOSClientData(TQELNMOSBaseClient& owner, IQELNMOSBridge& bridge, const char* name)
      : Owner(owner), Bridge(bridge), ServiceHost(bridge.ServiceHost()),
        Name(name), ServiceInfo{Name.c_str(), Qel_hosted::sdtCyclic} {}

  TQELNMOSBaseClient& Owner;
  IQELNMOSBridge& Bridge;
  Qel_hosted::IServiceHost& ServiceHost;
  const std::string Name;
  const Qel_hosted::TServiceInfo ServiceInfo;
  std::map<int, TNMOSActionNamedHandler> Handlers;
  // A list keeps its elements in place, so the active entry stays valid while others come and go.
  std::list<TNMOSAPIInfo> RegAPIs;
  TNMOSAPIInfo* ActiveRegAPI = nullptr;
  std::deque<std::unique_ptr<TNMOSActionInfo>> RegActionQueue;
  uint32_t MaxActionQueueSizeReached = 0;
  std::map<std::string, TMachinePtr> Machines;
  uv_idle_t* UVHandle = nullptr; // freed by its close callback
};

TQELNMOSBaseClient::TQELNMOSBaseClient(IQELNMOSBridge& bridge, const char* name)
    : FData(new TNMOSClientData(*this, bridge, name)) {
  FData->UVHandle = new uv_idle_t;
  uv_idle_init(FData->ServiceHost.Loop(), FData->UVHandle);
  FData->UVHandle->data = this;
  FData->ServiceHost.Register(this);
}

TQELNMOSBaseClient::~TQELNMOSBaseClient() {
  lws_log(QLLL_INFO, "~TQELNMOSBaseClient begin");
  FData->ServiceHost.Unregister(this);
  Shutdown();
  uv_close(reinterpret_cast<uv_handle_t*>(FData->UVHandle),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_idle_t*>(h); });
  delete FData;
  lws_log(QLLL_INFO, "~TQELNMOSBaseClient end");
}

IQELNMOSBridge& TQELNMOSBaseClient::Bridge() {
  return FData->Bridge;
}
const Qel_hosted::TServiceInfo& TQELNMOSBaseClient::GetInfo() {
  return FData->ServiceInfo;
}
const std::string& TQELNMOSBaseClient::GetName() const {
  return FData->Name;
}
TNMOSAPIInfo* TQELNMOSBaseClient::GetActiveAPI() {
  return FData->ActiveRegAPI;
}

void TQELNMOSBaseClient::Shutdown() {
  FData->Machines.clear();
  uv_idle_stop(FData->UVHandle);
  FData->RegActionQueue.clear();
}

void TQELNMOSBaseClient::DoCycle() {
  for (auto it = FData->Machines.begin(); it != FData->Machines.end();) {
    if (it->second->Machine.GetStateID() == NMOSSTATE_DELETABLE)
      it = FData->Machines.erase(it);
    else
      ++it;
  }
}

bool TQELNMOSBaseClient::AddAPI(const char* addr, uint16_t port, uint16_t prio, const char* uri,
                                const std::string& name) {
  TNMOSAPIInfo api(addr ? addr : "", port, prio, uri ? uri : "", name);
  for (const TNMOSAPIInfo& known : FData->RegAPIs)
    if (known.SameEndpoint(api)) return false;
  if (FData->RegAPIs.size() >= MaxAPIs) return false;
  FData->RegAPIs.push_back(api);
  return true;
}

bool TQELNMOSBaseClient::DelAPI(const char* addr, uint16_t port, uint16_t prio) {
  return DelAPI(TNMOSAPIInfo(addr ? addr : "", port, prio, "", ""));
}

namespace {

template <typename Match> bool RemoveAPI(TNMOSClientData& data, TQELNMOSBaseClient& client, Match match) {
  for (auto it = data.RegAPIs.begin(); it != data.RegAPIs.end(); ++it) {
    if (!match(*it)) continue;
    if (&*it == data.ActiveRegAPI) {
      client.UnselectAPI();
      const json& nodeId = client.Bridge().Data().Get("/self/id");
      if (nodeId.is_string())
        if (TNMOSStated* node = client.FindMachine(nodeId.get<std::string>()))
          node->Machine.SetEvent(ev_search);
    }
    data.RegAPIs.erase(it);
    return true;
  }
  return false;
}

} // namespace

bool TQELNMOSBaseClient::DelAPI(const std::string& name) {
  return RemoveAPI(*FData, *this, [&](const TNMOSAPIInfo& a) { return a.Name == name; });
}

bool TQELNMOSBaseClient::DelAPI(const TNMOSAPIInfo& api) {
  return RemoveAPI(*FData, *this, [&](const TNMOSAPIInfo& a) { return a.SameEndpoint(api); });
}

bool TQELNMOSBaseClient::SetActiveAPI(TNMOSAPIInfo* api) {
  if (api != FData->ActiveRegAPI) {
    lws_log(QLLL_INFO, "%s Selected API %s", FData->Name.c_str(), api ? api->Name.c_str() : "(NONE)");
    FData->ActiveRegAPI = api;
  }
  return FData->ActiveRegAPI != nullptr;
}

TNMOSAPIInfo* TQELNMOSBaseClient::SelectAPI(TNMOSStated* machine) {
  TNMOSAPIInfo* candidate = FData->ActiveRegAPI;
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  for (TNMOSAPIInfo& api : FData->RegAPIs) {
    if (api.IgnoreTime > now) continue;
    if (!candidate || api.Prio <= candidate->Prio) candidate = &api;
  }
  if (!machine) return candidate;
  int state = machine->Machine.GetStateID();
  if (state == 2) { // searching
    if (!FData->ActiveRegAPI && candidate)
      machine->Machine.SetEvent(ev_register);
    else if (candidate != FData->ActiveRegAPI)
      machine->Machine.SetEvent(ev_betterregfound);
  } else if (state == 9) { // failover
    machine->Machine.SetEvent(candidate ? ev_reg_success : ev_search);
  }
  return candidate;
}

bool TQELNMOSBaseClient::RegisterActionHandler(int action, const char* name, TNMOSActionHandler handler) {
  return FData->Handlers.emplace(action, TNMOSActionNamedHandler{name, handler}).second;
}

const char* TQELNMOSBaseClient::ActionName(int action) {
  auto it = FData->Handlers.find(action);
  return it == FData->Handlers.end() ? "<unknown>" : it->second.Name.c_str();
}

bool TQELNMOSBaseClient::ActionQueueAdd(int action, TNMOSStated& machine) {
  if (FData->RegActionQueue.size() >= MAX_RUNNING_REG_ACTIONS) {
    ++FData->MaxActionQueueSizeReached;
    return false;
  }
  FData->RegActionQueue.push_back(std::make_unique<TNMOSActionInfo>(action, machine));
  uv_idle_start(FData->UVHandle,
                [](uv_idle_t* h) { static_cast<TQELNMOSBaseClient*>(h->data)->ActionQueueProcess(); });
  return true;
}

// Works through the queue in slices of at most ActionsPerTurn successful actions per loop turn, so a
// burst of registrations does not hold up the rest of the loop.
void TQELNMOSBaseClient::ActionQueueProcess() {
  int handled = 0;
  while (!FData->RegActionQueue.empty() && handled < ActionsPerTurn) {
    std::unique_ptr<TNMOSActionInfo> action = std::move(FData->RegActionQueue.front());
    FData->RegActionQueue.pop_front();
    auto it = FData->Handlers.find(action->ActionID);
    if (it == FData->Handlers.end())
      lws_log(QLLL_ERR, "NMOS_REQUEST %p : no handler registered. deleting.",
              static_cast<void*>(action.get()));
    else if (!it->second.Handler(this, *action))
      lws_log(QLLL_ERR, "NMOS_REQUEST %p processing failed. deleting.", static_cast<void*>(action.get()));
    else
      ++handled;
  }
  if (FData->RegActionQueue.empty()) uv_idle_stop(FData->UVHandle);
}

bool TQELNMOSBaseClient::PushMachine(const std::string& key, TNMOSStated*& machine) {
  auto [it, inserted] = FData->Machines.try_emplace(key);
  if (!inserted) {
    machine->Destroy();
    machine = it->second.get();
    return false;
  }
  it->second.reset(machine);
  machine->OnAfterAdded();
  return true;
}

TNMOSStated* TQELNMOSBaseClient::FindMachine(const std::string& key) {
  auto it = FData->Machines.find(key);
  return it == FData->Machines.end() ? nullptr : it->second.get();
}

bool TQELNMOSBaseClient::DelMachine(const std::string& key) {
  TNMOSStated* machine = FindMachine(key);
  if (!machine) return false;
  if (machine->Deleting) return true;
  machine->Deleting = true;
  machine->OnBeforeDelete();
  machine->Machine.SetEvent(ev_delete);
  return true;
}

TNMOSStated* TQELNMOSBaseClient::ReviveMachine(const std::string& key) {
  auto it = FData->Machines.find(key);
  if (it == FData->Machines.end()) return nullptr;
  TNMOSStated* machine = it->second.get();
  if (machine->Machine.GetStateID() == NMOSSTATE_DELETABLE) {
    EraseMachine(it);
    return nullptr;
  }
  if (machine->Deleting) {
    machine->Deleting = false;
    machine->OnAfterAdded();
  }
  return machine;
}

bool TQELNMOSBaseClient::DropMachine(const std::string& key) {
  auto it = FData->Machines.find(key);
  if (it == FData->Machines.end()) return false;
  EraseMachine(it);
  return true;
}

// Queued actions refer to their machine: they go with it.
void TQELNMOSBaseClient::EraseMachine(std::map<std::string, TMachinePtr>::iterator it) {
  const TNMOSStated* machine = it->second.get();
  auto& queue = FData->RegActionQueue;
  queue.erase(std::remove_if(queue.begin(), queue.end(), [&](const auto& a) { return &a->State == machine; }),
              queue.end());
  FData->Machines.erase(it);
}

void TQELNMOSBaseClient::DumpStates() {
  lws_log(QLLL_DEBUG, "************ Machine dump ***********");
  for (auto& [key, machine] : FData->Machines)
    machine->Dump();
  lws_log(QLLL_DEBUG, "************ Machine dump ***********");
}

void TQELNMOSBaseClient::UpdateStats(const char* section, json& stats) {
  json apis = json::array();
  for (const TNMOSAPIInfo& api : FData->RegAPIs)
    apis.push_back(api.ToString());
  stats[section] = {{"Cycletime", CycleTime >> 6},
                    {"MachineCount", FData->Machines.size()},
                    {"ActionQueueSize", FData->RegActionQueue.size()},
                    {"MaxActionQueueSizeReached", FData->MaxActionQueueSizeReached},
                    {"MaxActionQueueSize", MAX_RUNNING_REG_ACTIONS},
                    {"KnownAPIs", apis},
                    {"ActiveAPI", FData->ActiveRegAPI ? FData->ActiveRegAPI->Addr : std::string("none")}};
}

} // namespace Qel_nmos_bridge
