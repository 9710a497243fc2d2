#include "NMOSBaseClient.h"

#include "NMOSBridgeConfig.h"
#include "NMOSNodeData.h"
#include "OAuthClient.h"
#include "RESTServer.h"
#include "RegistryVersions.h"
#include "VersionViews.h"
#include "helpers.h"

#include "JsonText.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace Qel_nmos_bridge {

std::string TNMOSAPIInfo::ToString() const {
  return Scheme + "://" + URLHost() + ":" + std::to_string(Port) + URI +
         (Version.empty() ? "" : "/" + Version);
}

int AnswerEvent(int status) {
  switch (status) {
  case 200:
    return ev_answer_ok;
  case 201:
    return ev_answer_created;
  case 204:
    return ev_answer_deleted;
  case 404:
    return ev_answer_unknown;
  default:
    return status >= 400 && status < 500 ? ev_answer_refused : ev_answer_failed;
  }
}

namespace {

// Live machines by serial number. Machines are made and destroyed on the worker (and at the end on
// the thread that destroys the clients); the lock keeps the table whole in any case.
std::mutex SerialsLock;
std::unordered_map<uint64_t, TNMOSStated*> Serials;
uint64_t NextSerial = 1;

uint64_t TakeSerial(TNMOSStated* stated) {
  std::lock_guard<std::mutex> lock(SerialsLock);
  Serials[NextSerial] = stated;
  return NextSerial++;
}

} // namespace

TNMOSStated::TNMOSStated(uv_loop_t* loop, const std::string& name, const Qel_machine::TState* states)
    : Machine(loop, this, name, states), Serial(TakeSerial(this)) {}

TNMOSStated::~TNMOSStated() {
  std::lock_guard<std::mutex> lock(SerialsLock);
  Serials.erase(Serial);
}

TNMOSStated* TNMOSStated::FindSerial(uint64_t serial) {
  std::lock_guard<std::mutex> lock(SerialsLock);
  auto it = Serials.find(serial);
  return it == Serials.end() ? nullptr : it->second;
}

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
  bool Secure = false; // every API is reached over https
  std::map<int, TNMOSActionNamedHandler> Handlers;
  // A list keeps its elements in place, so the active entry stays valid while others come and go.
  std::list<TNMOSAPIInfo> RegAPIs;
  TNMOSAPIInfo* ActiveRegAPI = nullptr;
  std::deque<std::unique_ptr<TNMOSActionInfo>> RegActionQueue;
  uint32_t MaxActionQueueSizeReached = 0;
  std::map<std::string, TMachinePtr> Machines;
  std::vector<uint64_t> Finished; // serials of machines that reached the deletable state
  uv_idle_t* UVHandle = nullptr;  // freed by its close callback
  uv_timer_t* AskTimer = nullptr; // asks endpoints their versions when due; freed by its close callback
  // Requests that ask an endpoint its versions, by request number.
  std::unordered_map<uintptr_t, TNMOSAPIInfo*> Asks;
  // Requests under way: what their completion is for, by the request number given to the HTTP client.
  struct TPending {
    uint64_t Machine; // serial of the machine
    int ActionID;
    std::string Name; // the machine's name, for the log
    std::string Addr; // the endpoint it went to
    uint16_t Port;
    // What went out, so that a request refused for its token can go once more with a new one.
    std::string URL, Method, Body;
    uint64_t TokenGeneration = 0;
    bool Retried = false; // it has gone again after a 401
    bool Waiting = false; // for a new token
  };
  std::unordered_map<uintptr_t, TPending> Pending;
  uintptr_t NextRequest = 1;
  // The node's OAuth client when its requests need tokens (looked up at the first need).
  Qel_auth::TOAuthClient* Auth = nullptr;
  bool AuthLooked = false;
  uint64_t AuthListener = 0;
  bool TokenWaitLogged = false;
  std::unique_ptr<Qel_http::IQELCurlWrapper, void (*)(Qel_http::IQELCurlWrapper*)> HTTPClient{
      nullptr, [](Qel_http::IQELCurlWrapper* c) { c->Destroy(); }};
};

TQELNMOSBaseClient::TQELNMOSBaseClient(IQELNMOSBridge& bridge, const char* name)
    : FData(new TNMOSClientData(*this, bridge, name)) {
  FData->UVHandle = new uv_idle_t;
  uv_idle_init(FData->ServiceHost.Loop(), FData->UVHandle);
  FData->UVHandle->data = this;
  FData->AskTimer = new uv_timer_t;
  uv_timer_init(FData->ServiceHost.Loop(), FData->AskTimer);
  FData->AskTimer->data = this;
  FData->HTTPClient.reset(Qel_http::IQELCurlWrapper::Create(this, FData->ServiceHost.Loop()));
  if (const IQELNMOSConfig* config = bridge.BoxConfig()) {
    Qel_http::TTLSClientSettings tls;
    FData->Secure = tls.HTTPSOnly = config->Secure();
    tls.CAFile = config->GetTLSCAFile();
    FData->HTTPClient->SetTLS(tls);
  }
  FData->ServiceHost.Register(this);
}

TQELNMOSBaseClient::~TQELNMOSBaseClient() {
  lws_log(QLLL_INFO, "~TQELNMOSBaseClient begin");
  if (FData->Auth) FData->Auth->RemoveListener(FData->AuthListener);
  FData->ServiceHost.Unregister(this);
  Shutdown();
  uv_close(reinterpret_cast<uv_handle_t*>(FData->UVHandle),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_idle_t*>(h); });
  uv_close(reinterpret_cast<uv_handle_t*>(FData->AskTimer),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
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
  // No completion reaches a machine any more.
  FData->HTTPClient->Terminate();
  FData->Pending.clear();
  FData->Asks.clear();
  for (TNMOSAPIInfo& api : FData->RegAPIs)
    api.AskRequest = 0;
  uv_timer_stop(FData->AskTimer);
  FData->Machines.clear();
  uv_idle_stop(FData->UVHandle);
  FData->RegActionQueue.clear();
}

// Only the machines that said they have finished are looked at: an idle cycle costs nothing however
// many machines there are.
void TQELNMOSBaseClient::DoCycle() {
  if (FData->Finished.empty()) return;
  std::vector<uint64_t> finished;
  finished.swap(FData->Finished);
  for (uint64_t serial : finished) {
    TNMOSStated* machine = TNMOSStated::FindSerial(serial);
    if (!machine || machine->Machine.GetStateID() != NMOSSTATE_DELETABLE) continue;
    auto it = FData->Machines.find(machine->Key);
    if (it != FData->Machines.end() && it->second.get() == machine) EraseMachine(it);
  }
}

void TQELNMOSBaseClient::MachineFinished(TNMOSStated& machine) {
  FData->Finished.push_back(machine.Serial);
}

bool TQELNMOSBaseClient::AddAPI(const char* addr, uint16_t port, uint16_t prio, const char* uri,
                                const std::string& name, const std::string& version,
                                const std::string& host) {
  TNMOSAPIInfo api(addr ? addr : "", port, prio, uri ? uri : "", name, version);
  api.Host = host;
  api.Scheme = FData->Secure ? "https" : "http";
  for (const TNMOSAPIInfo& known : FData->RegAPIs)
    if (known.SameEndpoint(api)) return false;
  if (FData->RegAPIs.size() >= MaxAPIs) return false;
  if (!host.empty()) FData->HTTPClient->Pin(host, port, api.Addr);
  FData->RegAPIs.push_back(api);
  // Asked on the next loop turn: never from inside the caller's own work.
  if (api.AskVersions) AskVersionsAgain(FData->RegAPIs.back());
  return true;
}

void TQELNMOSBaseClient::AskVersionsAgain(TNMOSAPIInfo& api) {
  if (!api.AskVersions || api.AskRequest) return;
  api.AskDue = static_cast<time_t>(MonotonicSeconds());
  ArmAskTimer();
}

// The timer runs until the earliest endpoint due to be asked is due; it is stopped when none is.
void TQELNMOSBaseClient::ArmAskTimer() {
  time_t due = 0;
  for (const TNMOSAPIInfo& api : FData->RegAPIs)
    if (api.AskDue && !api.AskRequest && (!due || api.AskDue < due)) due = api.AskDue;
  if (!due) {
    uv_timer_stop(FData->AskTimer);
    return;
  }
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  const uint64_t wait = due > now ? static_cast<uint64_t>(due - now) * 1000 : 0;
  uv_timer_start(
      FData->AskTimer, [](uv_timer_t* t) { static_cast<TQELNMOSBaseClient*>(t->data)->AskDueVersions(); },
      wait, 0);
}

void TQELNMOSBaseClient::AskDueVersions() {
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  for (TNMOSAPIInfo& api : FData->RegAPIs)
    if (api.AskDue && api.AskDue <= now && !api.AskRequest) Ask(api);
  ArmAskTimer();
}

// GET of the API's base ("/x-nmos/registration/") lists the versions it serves.
void TQELNMOSBaseClient::Ask(TNMOSAPIInfo& api) {
  api.AskDue = 0;
  const uintptr_t id = FData->NextRequest++;
  const std::string url = api.Scheme + "://" + api.URLHost() + ":" + std::to_string(api.Port) + api.URI + "/";
  uint64_t generation = 0;
  const std::string header = AuthHeader(generation);
  if (!FData->HTTPClient->HTTP_Request(this, url.c_str(), "GET", header.c_str(), "",
                                       reinterpret_cast<void*>(id))) {
    AskTold(api, "the request could not be made", false);
    return;
  }
  api.AskRequest = id;
  FData->Asks[id] = &api;
}

bool TQELNMOSBaseClient::AskAnswered(uintptr_t request, int status, const char* body) {
  auto it = FData->Asks.find(request);
  if (it == FData->Asks.end()) return false;
  TNMOSAPIInfo& api = *it->second;
  FData->Asks.erase(it);
  api.AskRequest = 0;
  json listing;
  std::string why, chosen;
  const bool isList = status == 200 && body && ParseJSONText(body, listing, why) && listing.is_array();
  if (isList && ChooseIS04VersionFromListing(listing, chosen)) {
    const bool changed = chosen != api.Version;
    api.Version = chosen;
    AskTold(api, "", true);
    // Requests made at the former version would not be understood there any more.
    if (changed && &api == FData->ActiveRegAPI) ActiveAPIGone();
  } else if (isList) {
    const bool wasActive = &api == FData->ActiveRegAPI;
    api.Version.clear();
    // What it lists goes into the log line: a short piece of it.
    std::string listed = listing.dump(-1, ' ', true, json::error_handler_t::replace);
    if (listed.size() > 200) listed = listed.substr(0, 200) + "...";
    AskTold(api, "serves none of the node's IS-04 versions (it lists " + listed + ")", false);
    if (wasActive) ActiveAPIGone();
  } else {
    AskTold(api,
            status > 0 ? "answered " + std::to_string(status) + " to the question of its versions"
                       : std::string("could not be asked its versions (") + (body ? body : "") + ")",
            false);
  }
  ArmAskTimer();
  return true;
}

// Says once what became of the question, and when it is asked again: an endpoint that has not told
// its versions every second (while it is unusable), one that serves none of the node's after a
// minute (it may be upgraded).
void TQELNMOSBaseClient::AskTold(TNMOSAPIInfo& api, const std::string& problem, bool usable) {
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  const bool none = problem.rfind("serves none", 0) == 0;
  if (usable)
    api.AskDue = 0;
  else if (none)
    api.AskDue = now + AskAgainSeconds;
  else if (api.Version.empty())
    api.AskDue = now + AskRetrySeconds;
  else
    api.AskDue = 0; // the version it told before stands
  // A problem is told once; its end only when it was told.
  const std::string kind = usable ? "" : none ? "none" : api.Version.empty() ? "unknown" : api.AskProblem;
  if (kind == api.AskProblem) return;
  if (usable)
    lws_log(QLLL_WARN, "%s: %s told its versions: used at %s", FData->Name.c_str(), api.ToString().c_str(),
            api.Version.c_str());
  else if (none)
    lws_log(QLLL_WARN, "%s: %s %s: not used, asked again in %u s", FData->Name.c_str(),
            api.ToString().c_str(), problem.c_str(), static_cast<unsigned>(AskAgainSeconds));
  else
    lws_log(QLLL_WARN,
            "%s: %s %s: not used until it tells which IS-04 versions it serves, asked again every %u s",
            FData->Name.c_str(), api.ToString().c_str(), problem.c_str(),
            static_cast<unsigned>(AskRetrySeconds));
  api.AskProblem = kind;
}

bool TQELNMOSBaseClient::DelAPI(const char* addr, uint16_t port, uint16_t prio) {
  return DelAPI(TNMOSAPIInfo(addr ? addr : "", port, prio, "", ""));
}

namespace {

template <typename Match>
bool RemoveAPI(TNMOSClientData& data, Match match, const std::function<void()>& activeGone) {
  for (auto it = data.RegAPIs.begin(); it != data.RegAPIs.end(); ++it) {
    if (!match(*it)) continue;
    if (&*it == data.ActiveRegAPI) activeGone();
    if (it->AskRequest) {
      data.Asks.erase(it->AskRequest);
      data.HTTPClient->Cancel(reinterpret_cast<void*>(it->AskRequest));
    }
    data.RegAPIs.erase(it);
    return true;
  }
  return false;
}

} // namespace

// The active endpoint can no longer be used as it was: the node's machine looks for another.
void TQELNMOSBaseClient::ActiveAPIGone() {
  UnselectAPI();
  const json& nodeId = Bridge().Data().Get("/self/id");
  if (nodeId.is_string())
    if (TNMOSStated* node = FindMachine(nodeId.get<std::string>())) node->Machine.SetEvent(ev_search);
}

bool TQELNMOSBaseClient::DelAPI(const std::string& name) {
  return RemoveAPI(
      *FData, [&](const TNMOSAPIInfo& a) { return a.Name == name; }, [this] { ActiveAPIGone(); });
}

bool TQELNMOSBaseClient::DelAPI(const TNMOSAPIInfo& api) {
  return RemoveAPI(
      *FData, [&](const TNMOSAPIInfo& a) { return a.SameEndpoint(api); }, [this] { ActiveAPIGone(); });
}

bool TQELNMOSBaseClient::SetActiveAPI(TNMOSAPIInfo* api) {
  if (api != FData->ActiveRegAPI) {
    lws_log(QLLL_INFO, "%s Selected API %s", FData->Name.c_str(), api ? api->Name.c_str() : "(NONE)");
    FData->ActiveRegAPI = api;
  }
  return FData->ActiveRegAPI != nullptr;
}

// The best eligible endpoint: the lowest priority value; among equal ones the active endpoint stays,
// else the one added last wins. Endpoints ignored after a failure are not eligible, nor those whose
// version is not known.
TNMOSAPIInfo* TQELNMOSBaseClient::BestAPI() {
  TNMOSAPIInfo* best = nullptr;
  if (WaitsForToken()) return nullptr;
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  for (TNMOSAPIInfo& api : FData->RegAPIs) {
    if (api.IgnoreTime > now || api.Version.empty()) continue;
    if (!best || api.Prio < best->Prio || (api.Prio == best->Prio && best != FData->ActiveRegAPI))
      best = &api;
  }
  return best;
}

TNMOSAPIInfo* TQELNMOSBaseClient::SelectAPI(TAPIChoice choice) {
  // Without a token held no registry can be used, as if none were reachable.
  if (WaitsForToken()) return nullptr;
  TNMOSAPIInfo* active = FData->ActiveRegAPI;
  TNMOSAPIInfo* best = BestAPI();
  switch (choice) {
  case TAPIChoice::First:
    if (!best)
      for (TNMOSAPIInfo& api : FData->RegAPIs)
        if (!api.Version.empty() && (!best || api.IgnoreTime < best->IgnoreTime)) best = &api;
    return best;
  case TAPIChoice::Next:
    return best == active ? nullptr : best;
  case TAPIChoice::Better:
    return !best || best == active || (active && best->Prio >= active->Prio) ? nullptr : best;
  case TAPIChoice::Keep:
    break;
  }
  return nullptr;
}

bool TQELNMOSBaseClient::SearchAPI(TAPIChoice choice) {
  TNMOSAPIInfo* chosen = SelectAPI(choice);
  if (!chosen) return false;
  SetActiveAPI(chosen);
  return true;
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
  machine->Key = key;
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
  machine->Deleting = false;
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
  TNMOSStated* machine = it->second.get();
  CancelRequest(*machine);
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

json TQELNMOSBaseClient::ListAPIs() {
  std::vector<const TNMOSAPIInfo*> apis;
  for (const TNMOSAPIInfo& api : FData->RegAPIs)
    apis.push_back(&api);
  std::stable_sort(apis.begin(), apis.end(),
                   [](const TNMOSAPIInfo* a, const TNMOSAPIInfo* b) { return a->Prio < b->Prio; });
  const time_t now = static_cast<time_t>(MonotonicSeconds());
  json list = json::array();
  for (const TNMOSAPIInfo* api : apis)
    list.push_back({{"url", api->ToString()},
                    {"address", api->URLHost()},
                    {"port", api->Port},
                    {"priority", api->Prio},
                    {"version", api->Version},
                    {"name", api->Name},
                    {"in_use", api == FData->ActiveRegAPI},
                    {"failed", api->IgnoreTime > now}});
  return list;
}

Qel_http::IQELCurlWrapper& TQELNMOSBaseClient::HTTP() {
  return *FData->HTTPClient;
}

Qel_auth::TOAuthClient* TQELNMOSBaseClient::AuthClient() {
  if (FData->AuthLooked) return FData->Auth;
  FData->AuthLooked = true;
  const IQELNMOSConfig* config = FData->Bridge.BoxConfig();
  if (!config || !config->GetProtectedAPIs()) return nullptr;
  FData->Auth = FData->Bridge.RestSrv().AuthClient();
  if (FData->Auth) FData->AuthListener = FData->Auth->AddListener([this](bool ok) { TokenArrived(ok); });
  return FData->Auth;
}

bool TQELNMOSBaseClient::WaitsForToken() {
  Qel_auth::TOAuthClient* auth = AuthClient();
  if (!auth) return false;
  // The node registers as a client only once it has a registry to use the tokens at.
  if (!FData->RegAPIs.empty()) auth->Start();
  const bool waits = auth->Token().empty();
  if (waits && !FData->TokenWaitLogged)
    lws_log(QLLL_WARN, "%s: no access token yet: the registry APIs are not used until one is held",
            FData->Name.c_str());
  FData->TokenWaitLogged = waits;
  return waits;
}

std::string TQELNMOSBaseClient::AuthHeader(uint64_t& generation) {
  Qel_auth::TOAuthClient* auth = AuthClient();
  if (!auth || auth->Token().empty()) return std::string();
  generation = auth->TokenGeneration();
  return "Authorization: Bearer " + auth->Token();
}

void TQELNMOSBaseClient::TokenRefused() {
  Qel_auth::TOAuthClient* auth = AuthClient();
  if (auth) auth->Refused(auth->TokenGeneration());
}

bool TQELNMOSBaseClient::Send(uintptr_t id) {
  auto it = FData->Pending.find(id);
  if (it == FData->Pending.end()) return false;
  TNMOSClientData::TPending& pending = it->second;
  const std::string header = AuthHeader(pending.TokenGeneration);
  // No request without a token while tokens are needed.
  if ((FData->Auth && header.empty()) ||
      !FData->HTTPClient->HTTP_Request(this, pending.URL.c_str(), pending.Method.c_str(), header.c_str(),
                                       pending.Body.c_str(), reinterpret_cast<void*>(id))) {
    FData->Pending.erase(it);
    return false;
  }
  return true;
}

bool TQELNMOSBaseClient::Request(const TNMOSActionInfo& action, const std::string& url, const char* method,
                                 const std::string& body) {
  const uintptr_t id = FData->NextRequest++;
  AuthClient();
  TNMOSClientData::TPending& pending = FData->Pending[id];
  const TNMOSAPIInfo* api = FData->ActiveRegAPI;
  pending = {action.State.Serial,
             action.ActionID,
             action.State.Machine.Name(),
             api ? api->Addr : std::string(),
             api ? api->Port : uint16_t(0),
             url,
             method,
             body};
  if (!Send(id)) return false;
  action.State.AwaitedRequest = id;
  return true;
}

// The request was not authorized, and is not tried again: that counts as the registry failing.
void TQELNMOSBaseClient::Unauthorized(uintptr_t id, const std::string& name) {
  FData->Pending.erase(id);
  lws_log(QLLL_WARN, "%s: %s not authorized, and no new access token helped: the registry counts as failed",
          FData->Name.c_str(), name.c_str());
}

void TQELNMOSBaseClient::Deliver(uintptr_t id, uint64_t serial, int event) {
  TNMOSStated* machine = TNMOSStated::FindSerial(serial);
  if (!machine || machine->AwaitedRequest != id) return;
  machine->AwaitedRequest = 0;
  machine->Machine.SetEvent(event);
}

void TQELNMOSBaseClient::TokenArrived(bool ok) {
  std::vector<uintptr_t> waiting;
  for (const auto& [id, pending] : FData->Pending)
    if (pending.Waiting) waiting.push_back(id);
  for (uintptr_t id : waiting) {
    auto it = FData->Pending.find(id);
    if (it == FData->Pending.end()) continue;
    it->second.Waiting = false;
    const uint64_t serial = it->second.Machine;
    const std::string name = it->second.Name;
    if (ok && Send(id)) continue;
    Unauthorized(id, name);
    Deliver(id, serial, ev_answer_failed);
  }
}

void TQELNMOSBaseClient::CancelRequest(TNMOSStated& machine) {
  const uintptr_t id = static_cast<uintptr_t>(machine.AwaitedRequest);
  machine.AwaitedRequest = 0;
  if (!id) return;
  FData->Pending.erase(id);
  FData->HTTPClient->Cancel(reinterpret_cast<void*>(id));
}

TNMOSAPIInfo* TQELNMOSBaseClient::FindAPI(const std::string& addr, uint16_t port) {
  for (TNMOSAPIInfo& api : FData->RegAPIs)
    if (api.Addr == addr && api.Port == port) return &api;
  return nullptr;
}

void TQELNMOSBaseClient::TLSFailed(TNMOSAPIInfo& api, const char* reason) {
  const std::string why = reason && *reason ? reason : "TLS failed";
  if (why == api.TLSProblem) return;
  api.TLSProblem = why;
  lws_log(QLLL_WARN, "%s: %s: the TLS connection failed (%s): it counts as a failed registry",
          FData->Name.c_str(), api.ToString().c_str(), why.c_str());
}

void TQELNMOSBaseClient::OnCurlSuccess(void* Data, int Result, const char* Response) {
  {
    auto ask = FData->Asks.find(reinterpret_cast<uintptr_t>(Data));
    if (ask != FData->Asks.end()) ask->second->TLSProblem.clear();
  }
  if (AskAnswered(reinterpret_cast<uintptr_t>(Data), Result, Response ? Response : "")) return;
  auto it = FData->Pending.find(reinterpret_cast<uintptr_t>(Data));
  if (it == FData->Pending.end()) return;
  const uintptr_t id = reinterpret_cast<uintptr_t>(Data);
  TNMOSClientData::TPending pending = it->second;
  FData->Pending.erase(it);
  if (TNMOSAPIInfo* api = FindAPI(pending.Addr, pending.Port)) api->TLSProblem.clear();
  TNMOSStated* machine = TNMOSStated::FindSerial(pending.Machine);
  // A token refused: one new token (or a newer one held already) and the request goes once more.
  if (Result == 401 && FData->Auth && !pending.Retried && machine && machine->AwaitedRequest == id) {
    pending.Retried = true;
    pending.Waiting = true;
    FData->Pending[id] = pending;
    const Qel_auth::TOAuthClient::TRefusal verdict = FData->Auth->Refused(pending.TokenGeneration);
    auto again = FData->Pending.find(id);
    if (again == FData->Pending.end() || !again->second.Waiting) return; // a listener has dealt with it
    if (verdict == Qel_auth::TOAuthClient::TRefusal::Wait) return;
    again->second.Waiting = false;
    if (verdict == Qel_auth::TOAuthClient::TRefusal::RetryNow && Send(id)) return;
    FData->Pending.erase(id);
  }
  const std::string body = Response ? Response : "";
  json parsed;
  std::string why;
  bool isJSON = !body.empty() && ParseJSONText(body, parsed, why);
  if (!body.empty() && !isJSON) lws_log(QLLL_ERR, "JSON parse error: %s JSON<%s>", why.c_str(), body.c_str());
  if (Result == 301) {
    lws_log(QLLL_WARN, "NMOS_REQUEST %p %s %s HTTP ERROR %d %s", Data, pending.Name.c_str(),
            ActionName(pending.ActionID), Result, body.c_str());
  } else if (Result >= 302 && Result <= 998) {
    const bool detail =
        isJSON && parsed.is_object() && (parsed.contains("error") || parsed.contains("debug"));
    const std::string error = detail ? IQELNMOSNodeData::JsonExtract(parsed, "error", json("")).dump() : "";
    const std::string debug = detail && parsed.contains("debug") ? parsed["debug"].dump(2) : "";
    lws_log(QLLL_WARN, "NMOS_REQUEST %p %s %s HTTP ERROR %d%c%s%s", Data, pending.Name.c_str(),
            ActionName(pending.ActionID), Result, detail ? '\n' : ' ', error.c_str(), debug.c_str());
  } else {
    lws_log(QLLL_DEBUG, "NMOS_REQUEST %p %s %s HTTP RESULT %d", Data, pending.Name.c_str(),
            ActionName(pending.ActionID), Result);
  }
  // A machine that has gone, given the request up or made another since hears nothing.
  if (!machine || machine->AwaitedRequest != reinterpret_cast<uintptr_t>(Data)) return;
  machine->AwaitedRequest = 0;
  if (isJSON) machine->Result = std::move(parsed);
  // With tokens, a registry that refuses them fails as one that does not answer.
  if (FData->Auth && (Result == 401 || Result == 403)) {
    lws_log(QLLL_WARN, "%s: %s %s refused by the registry (%d): the registry counts as failed",
            FData->Name.c_str(), pending.Name.c_str(), ActionName(pending.ActionID), Result);
    machine->Machine.SetEvent(ev_answer_failed);
    return;
  }
  machine->Machine.SetEvent(AnswerEvent(Result));
}

void TQELNMOSBaseClient::OnCurlError(void* Data, int Result, const char* Message) {
  const bool tls = Qel_http::IsTLSFailure(Result);
  auto ask = FData->Asks.find(reinterpret_cast<uintptr_t>(Data));
  if (ask != FData->Asks.end() && tls) {
    TNMOSAPIInfo& api = *ask->second;
    TLSFailed(api, Message);
    // Said once above, with the reason: the question of its versions says nothing more of it.
    if (api.Version.empty()) api.AskProblem = "unknown";
  }
  if (AskAnswered(reinterpret_cast<uintptr_t>(Data), -1, Message ? Message : "")) return;
  auto it = FData->Pending.find(reinterpret_cast<uintptr_t>(Data));
  if (it == FData->Pending.end()) return;
  const TNMOSClientData::TPending pending = it->second;
  FData->Pending.erase(it);
  TNMOSAPIInfo* api = tls ? FindAPI(pending.Addr, pending.Port) : nullptr;
  if (api)
    TLSFailed(*api, Message);
  else
    lws_log(QLLL_WARN, "NMOS_REQUEST %p Error: Action %s %s Err %d (Message: %s)", Data,
            ActionName(pending.ActionID), pending.Name.c_str(), Result, Message ? Message : "");
  TNMOSStated* machine = TNMOSStated::FindSerial(pending.Machine);
  if (!machine || machine->AwaitedRequest != reinterpret_cast<uintptr_t>(Data)) return;
  machine->AwaitedRequest = 0;
  machine->Machine.SetEvent(ev_no_answer);
}

} // namespace Qel_nmos_bridge
