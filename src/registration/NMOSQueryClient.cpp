#include "NMOSQueryClient.h"

#include "NMOSBridgeConfig.h"
#include "NMOSBridge_API.h"
#include "NMOSNodeData.h"
#include "NMOSQuerySubscription.h"
#include "helpers.h"

#include <deque>
#include <map>
#include <vector>

namespace Qel_nmos_bridge {

using Qel_machine::TMachine;
using Qel_machine::TState;

struct TSubscriptionDeleter {
  void operator()(TWSSubscription* s) const { s->Destroy(); }
};
using TSubscriptionPtr = std::unique_ptr<TWSSubscription, TSubscriptionDeleter>;

struct TQryCliData {
  std::deque<TSubscriptionPtr> Subscriptions;
  // Subscriptions given up: they report nothing any more and go at the next cycle (a subscription is
  // often given up from inside one of its own websocket's callbacks).
  std::vector<TSubscriptionPtr> Retired;
  // The names a registry told, by type and UUID, as told.
  std::map<std::string, std::map<std::string, std::string>> Learnt;
  uint64_t Grains = 0, GrainItems = 0, BadGrains = 0, Refreshes = 0, DroppedGrains = 0;
  // A name changed in a grain under way: the receivers are refreshed once the grain has ended.
  bool NamesChanged = false;
  // Runs once after the loop's I/O phase in which names changed: a burst of grains costs one refresh
  // of the receivers, and none waits beyond the loop turn that brought it. Freed by its close callback.
  uv_check_t* RefreshHandle = nullptr;
};

namespace {

// A failed endpoint is passed over this long while another one can be used.
constexpr time_t IgnoreSeconds = 60;
// Nothing polls: the search looks for an endpoint once a second, like the registration's.
constexpr std::chrono::milliseconds Retry = std::chrono::seconds(1);
constexpr uint64_t RetryMs = Retry.count();
// A query gets this long for its answer.
constexpr std::chrono::milliseconds QueryDeadline = std::chrono::seconds(50);

TNMOSQueryClientInfo& CliRec(void* ctx) {
  return *static_cast<TNMOSQueryClientInfo*>(ctx);
}
TNMOSQueryInfo& QryRec(void* ctx) {
  return *static_cast<TNMOSQueryInfo*>(ctx);
}
Qel_machine::TMachineUV& UV(TMachine* m) {
  return *static_cast<Qel_machine::TMachineUV*>(m);
}
uint64_t LoopNow(TQELNMOSQueryClient& client) {
  return uv_now(client.Bridge().ServiceHost().Loop());
}

// --- the client's machine ---

void QueryAPI_EnterSearching(TMachine* m, void* ctx) {
  TNMOSQueryClientInfo& rec = CliRec(ctx);
  if (rec.Client.AnyEligibleAPI() && LoopNow(rec.Client) >= rec.LastAttempt + RetryMs &&
      rec.Client.SearchAPI(TAPIChoice::First))
    m->SetEvent(ev_register);
  m->SetTimer(Retry);
}
void QueryAPI_Searching(TMachine* m, void* ctx) {
  if (CliRec(ctx).Client.SearchAPI(TAPIChoice::First)) m->SetEvent(ev_register);
}

// An endpoint is chosen: the subscriptions are made, and their failures come back as 404.
void QueryAPI_RegSelected(TMachine* m, void* ctx) {
  TNMOSQueryClientInfo& rec = CliRec(ctx);
  rec.LastAttempt = LoopNow(rec.Client);
  if (const TNMOSAPIInfo* api = rec.Client.GetActiveAPI())
    lws_log(QLLL_NOTICE, "%s API Selected: %s", rec.Client.GetName().c_str(), api->ToString().c_str());
  rec.Client.ActionQueueAdd(TNMOS_RegAction::SubscribeAll, rec);
  m->SetEvent(ev_answer_created);
}

void QueryAPI_RegConnLost(TMachine* m, void* ctx) {
  TNMOSQueryClientInfo& rec = CliRec(ctx);
  lws_log(QLLL_WARN, "Machine %s: Query API lost", m->Name().c_str());
  rec.Client.UnsubscribeAll();
  rec.Client.APILost();
}

void QueryAPI_EnterQuit(TMachine*, void* ctx) {
  CliRec(ctx).Client.UnsubscribeAll();
  CliRec(ctx).Machine.SetEvent(ev_answer_deleted);
}

// --- a query's machine ---

void Qry_EnterQueryPending(TMachine* m, void* ctx) {
  TNMOSQueryInfo& rec = QryRec(ctx);
  if (!rec.Client.ActionQueueAdd(TNMOS_RegAction::Query, rec)) {
    m->SetEvent(ev_answer_failed);
    return;
  }
  m->SetTimer(QueryDeadline);
}
void Qry_HandleQueryPending(TMachine* m, void* ctx) {
  UV(m).StopTimer();
  QryRec(ctx).Client.CancelRequest(QryRec(ctx));
  m->SetEvent(ev_timeout);
}
void Qry_EnterQueryProcessed(TMachine* m, void* ctx) {
  TNMOSQueryInfo& rec = QryRec(ctx);
  if (rec.QueryCallback) rec.QueryCallback(&rec);
  m->SetEvent(ev_delete);
}
void Qry_EnterFinished(TMachine*, void* ctx) {
  QryRec(ctx).Client.MachineFinished(QryRec(ctx));
}

// --- actions ---

TQELNMOSQueryClient* QueryClientOf(IQELNMOSBaseClient* client) {
  return dynamic_cast<TQELNMOSQueryClient*>(client);
}

bool HandleQuery(IQELNMOSBaseClient* client, const TNMOSActionInfo& action) {
  TQELNMOSQueryClient* qc = QueryClientOf(client);
  const TNMOSAPIInfo* api = client->GetActiveAPI();
  if (!qc || !api) {
    action.State.Machine.SetEvent(ev_answer_failed);
    return false;
  }
  if (qc->Request(action, api->BaseURL() + "/" + action.State.Machine.Name(), "GET", "")) return true;
  action.State.Machine.SetEvent(ev_answer_failed);
  return false;
}

bool HandleSubscribeAll(IQELNMOSBaseClient* client, const TNMOSActionInfo&) {
  TQELNMOSQueryClient* qc = QueryClientOf(client);
  if (!qc) return true;
  json spec = {{"max_update_rate_ms", 100},
               {"resource_path", "/senders"},
               {"params", json::object()},
               {"persist", false},
               // A Query API reached over https is asked for wss.
               {"secure", qc->GetActiveAPI() && qc->GetActiveAPI()->Scheme == "https"}};
  for (const char* path : {"/senders", "/receivers"}) {
    spec["resource_path"] = path;
    lws_log(QLLL_NOTICE, "NMOS Query API WS subscription request: %s", spec.dump().c_str());
    qc->Subscribe(spec);
  }
  return true;
}

bool HandleUnsubscribeAll(IQELNMOSBaseClient* client, const TNMOSActionInfo&) {
  if (TQELNMOSQueryClient* qc = QueryClientOf(client)) qc->UnsubscribeAll();
  return true;
}

} // namespace

// clang-format off
namespace {
constexpr TState QueryClientStates[] = {
  {"off", qcs_off, nullptr, nullptr, nullptr,
    {{"start", ev_startup, qcs_searching, nullptr},
     {"update", ev_update, qcs_off, nullptr}}},
  {"searching", qcs_searching, QueryAPI_EnterSearching, nullptr, QueryAPI_Searching,
    {{"select", ev_register, qcs_reg_pending, nullptr},
     {"update", ev_update, qcs_searching, nullptr},
     {"quit", ev_quit, qcs_quit, nullptr}}},
  {"reg_pending", qcs_reg_pending, QueryAPI_RegSelected, nullptr, nullptr,
    {{"regsuccess", ev_answer_created, qcs_connected, nullptr},
     {"regfailed", ev_answer_unknown, qcs_searching, QueryAPI_RegConnLost},
     {"quit", ev_quit, qcs_quit, nullptr}}},
  // No timer runs here: only a failed or lost subscription, or the end, leaves the state.
  {"connected", qcs_connected, nullptr, nullptr, nullptr,
    {{"conbroken", ev_answer_unknown, qcs_searching, QueryAPI_RegConnLost},
     {"update", ev_update, qcs_connected, nullptr},
     {"quit", ev_quit, qcs_quit, nullptr}}},
  {"node_quit", qcs_quit, QueryAPI_EnterQuit, nullptr, nullptr,
    {{"deleted", ev_answer_deleted, qcs_off, nullptr}}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};

constexpr TState QueryStates[] = {
  {"unregistered", qry_ready, nullptr, nullptr, nullptr,
    {{"query_run", ev_query, qry_pending, nullptr},
     {"query_delete", ev_delete, qry_finished, nullptr}}},
  {"qry_pending", qry_pending, Qry_EnterQueryPending, nullptr, Qry_HandleQueryPending,
    {{"query_succes", ev_answer_ok, qry_processed, nullptr},
     {"query_failed", ev_answer_unknown, qry_finished, nullptr},
     {"query_refused", ev_answer_refused, qry_finished, nullptr},
     {"query_error", ev_answer_failed, qry_finished, nullptr},
     {"query_noanswer", ev_no_answer, qry_finished, nullptr},
     {"timeout", ev_timeout, qry_finished, nullptr},
     {"query_abort", ev_delete, qry_finished, nullptr}}},
  {"qry_processed", qry_processed, Qry_EnterQueryProcessed, nullptr, nullptr,
    {{"delete", ev_delete, qry_finished, nullptr},
     {"reset", ev_reset, qry_finished, nullptr}}},
  {"qry_finished", qry_finished, Qry_EnterFinished, nullptr, nullptr, {}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
// clang-format on
static_assert(TMachine::ValidTable(QueryClientStates), "every transition leads to a state");
static_assert(TMachine::ValidTable(QueryStates), "every transition leads to a state");
} // namespace

TNMOSQueryClientInfo::TNMOSQueryClientInfo(TQELNMOSQueryClient& client)
    : TNMOSStated(client.Bridge().ServiceHost().Loop(), TQELNMOSQueryClient::GetID(), QueryClientStates),
      Client(client) {}

TNMOSQueryInfo::TNMOSQueryInfo(TQELNMOSQueryClient& client, const std::string& path, TQueryCallback callback)
    : TNMOSStated(client.Bridge().ServiceHost().Loop(), path, QueryStates), Client(client),
      QueryCallback(std::move(callback)) {}

TQELNMOSQueryClient::TQELNMOSQueryClient(IQELNMOSBridge* bridge)
    : TQELNMOSBaseClient(*bridge, "NMOSQuery"), FBridge(bridge), FData(std::make_unique<TQryCliData>()) {
  FData->RefreshHandle = new uv_check_t;
  uv_check_init(bridge->ServiceHost().Loop(), FData->RefreshHandle);
  FData->RefreshHandle->data = this;
  RegisterActionHandler(TNMOS_RegAction::Query, "Query", HandleQuery);
  RegisterActionHandler(TNMOS_RegAction::SubscribeAll, "SubscribeAll", HandleSubscribeAll);
  RegisterActionHandler(TNMOS_RegAction::UnsubscribeAll, "unsubscribeAll", HandleUnsubscribeAll);
  // A registry named on the command line serves its Query API at the same address.
  if (const IQELNMOSConfig* config = bridge->BoxConfig())
    for (const TRegistryAddress& registry : config->GetRegistries())
      AddAPI(registry.Host.c_str(), registry.Port, 0, "/x-nmos/query",
             registry.Host + ":" + std::to_string(registry.Port), ""); // asked for its versions
}

TQELNMOSQueryClient::~TQELNMOSQueryClient() {
  lws_log(QLLL_INFO, "~TQELNMOSQueryClient begin");
  Shutdown();
  uv_close(reinterpret_cast<uv_handle_t*>(FData->RefreshHandle),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_check_t*>(h); });
  lws_log(QLLL_INFO, "~TQELNMOSQueryClient end");
}

const std::string& TQELNMOSQueryClient::GetID() {
  static const std::string id = ".qrycli";
  return id;
}

void TQELNMOSQueryClient::Startup() {
  TNMOSStated* record = new TNMOSQueryClientInfo(*this);
  if (PushMachine(GetID(), record))
    lws_log(QLLL_DEBUG, "QueryClientInfo %s created", GetID().c_str());
  else
    record->Machine.SetEvent(ev_update);
}

void TQELNMOSQueryClient::SubscribeAll() {
  if (TNMOSStated* record = FindMachine(GetID())) record->Machine.SetEvent(ev_startup);
}

void TQELNMOSQueryClient::UnsubscribeAll() {
  for (TSubscriptionPtr& sub : FData->Subscriptions)
    FData->Retired.push_back(std::move(sub));
  FData->Subscriptions.clear();
}

// The retired subscriptions leave the list before any of them is destroyed, so that none is owned twice
// and the list is never changed while it is emptied, whatever their ends call back.
void TQELNMOSQueryClient::DestroyRetired() {
  std::vector<TSubscriptionPtr> retired;
  retired.swap(FData->Retired);
}

void TQELNMOSQueryClient::Shutdown() {
  if (TNMOSStated* record = FindMachine(GetID())) record->Machine.SetEvent(ev_quit);
  UnsubscribeAll();
  DestroyRetired();
  uv_check_stop(FData->RefreshHandle);
  TQELNMOSBaseClient::Shutdown();
}

void TQELNMOSQueryClient::DoCycle() {
  TQELNMOSBaseClient::DoCycle();
  DestroyRetired();
  for (TSubscriptionPtr& sub : FData->Subscriptions)
    sub->DoLowCycle();
}

bool TQELNMOSQueryClient::PushQuery(std::string path, TQueryCallback callback) {
  TNMOSStated* record = new TNMOSQueryInfo(*this, path, std::move(callback));
  if (PushMachine(path, record)) record->Machine.SetEvent(ev_query); // a query starts at once
  return true;
}

bool TQELNMOSQueryClient::Subscribe(const json& spec) {
  FData->Subscriptions.emplace_back(new TWSSubscription(*this, spec));
  return true;
}

int TQELNMOSQueryClient::GetState() {
  TNMOSStated* record = FindMachine(GetID());
  return record ? record->Machine.GetStateID() : 0;
}

void TQELNMOSQueryClient::UpdateStats(const char* section, json& stats) {
  TQELNMOSBaseClient::UpdateStats(section, stats);
  size_t learnt = 0;
  for (const auto& kind : FData->Learnt)
    learnt += kind.second.size();
  json& mine = stats[section];
  mine["State"] = GetState();
  mine["Subscriptions"] = FData->Subscriptions.size();
  mine["Grains"] = FData->Grains;
  mine["GrainItems"] = FData->GrainItems;
  mine["BadGrains"] = FData->BadGrains;
  mine["DroppedGrains"] = FData->DroppedGrains;
  mine["Refreshes"] = FData->Refreshes;
  mine["LearntNames"] = learnt;
}

// A Query API that failed is passed over for a while; with no other left it is tried again (once a
// second). It stays known: a registry named on the command line is never reported again by discovery.
void TQELNMOSQueryClient::HandleAPILost() {
  TNMOSAPIInfo* api = GetActiveAPI();
  if (!api) return;
  ++api->ErrorCount;
  api->IgnoreTime = static_cast<time_t>(MonotonicSeconds()) + IgnoreSeconds;
  UnselectAPI();
  AskVersionsAgain(*api);
}

namespace {
bool Current(const std::deque<TSubscriptionPtr>& subs, const TWSSubscription* sub) {
  if (!sub) return true;
  for (const TSubscriptionPtr& s : subs)
    if (s.get() == sub) return true;
  return false;
}
} // namespace

void TQELNMOSQueryClient::QueryAPIConnectFailed(TWSSubscription* sub) {
  if (!Current(FData->Subscriptions, sub)) return;
  if (TNMOSStated* record = FindMachine(GetID())) record->Machine.SetEvent(ev_answer_unknown);
}

// The registry's view is gone with the websocket: what it told is forgotten (the node's own names
// stay), and the receivers show it.
void TQELNMOSQueryClient::QueryAPIConnectLost(TWSSubscription* sub) {
  if (!Current(FData->Subscriptions, sub)) return;
  const bool changed = ForgetLearntNames() || FData->NamesChanged;
  FData->NamesChanged = false;
  if (changed) RefreshReceivers();
  if (TNMOSStated* record = FindMachine(GetID())) record->Machine.SetEvent(ev_answer_unknown);
}

bool TQELNMOSQueryClient::ForgetLearntNames() {
  IQELNMOSNodeData& data = Bridge().Data();
  bool changed = false;
  for (const auto& [type, names] : FData->Learnt)
    for (const auto& [uuid, name] : names)
      if (data.GetNameFromUUID(type, uuid) == name) changed |= data.SetNameFromUUID(type, uuid, "");
  FData->Learnt.clear();
  return changed;
}

void TQELNMOSQueryClient::RefreshReceivers() {
  uv_check_start(FData->RefreshHandle, [](uv_check_t* h) {
    uv_check_stop(h);
    static_cast<TQELNMOSQueryClient*>(h->data)->RefreshNow();
  });
}

void TQELNMOSQueryClient::QueryAPITLSFailed(const char* reason) {
  if (TNMOSAPIInfo* api = GetActiveAPI()) TLSFailed(*api, reason);
}

const std::string& TQELNMOSQueryClient::SubscriptionCAFile() {
  static const std::string none;
  const IQELNMOSConfig* config = Bridge().BoxConfig();
  return config ? config->GetTLSCAFile() : none;
}

Qel_hosted::IServiceHost& TQELNMOSQueryClient::SubscriptionHost() {
  return FBridge->ServiceHost();
}

void TQELNMOSQueryClient::RefreshNow() {
  ++FData->Refreshes;
  FBridge->RefreshReceivers();
}

int TQELNMOSQueryClient::QueryAPIReceivedText(TWSSubscription* sub, const void* data, int len) {
  if (!Current(FData->Subscriptions, sub) || !data || len < 0) return 0;
  TGrainReader reader(MaxGrainBytes, [this, sub](const std::string& topic, const TGrainItem& item) {
    QueryAPIGrainItem(sub, topic, item);
  });
  reader.Feed(static_cast<const char*>(data), static_cast<size_t>(len));
  if (reader.Bytes() > MaxGrainBytes) {
    QueryAPIGrainTooBig(sub);
    return 0;
  }
  QueryAPIGrainEnd(sub, reader, reader.Finish());
  return 0;
}

// An item tells the name of a resource of another node (post), or that one has gone (pre only). The
// items of a grain count as they come: a grain found broken later keeps what was read before.
void TQELNMOSQueryClient::QueryAPIGrainItem(TWSSubscription* sub, const std::string& rawTopic,
                                            const TGrainItem& item) {
  if (!Current(FData->Subscriptions, sub)) return; // given up, its websocket not closed yet
  std::string topic;
  for (char c : rawTopic)
    if (c != '/') topic += c;
  if (topic != "senders" && topic != "receivers") return; // no names of other kinds are kept
  ++FData->GrainItems;
  IQELNMOSNodeData& store = Bridge().Data();
  const char* why = nullptr;
  if (!item.IsObject)
    why = "not an object";
  else if (item.PathKind != TGrainItem::Text || !IsUUID(item.Path))
    why = "its path is no UUID";
  else if (item.Post == TGrainItem::Present && item.LabelKind != TGrainItem::Text)
    why = "its label is no text";
  else if (item.Post == TGrainItem::Present && IsUUID(item.Label))
    // The table keeps both directions in one map: a label that looks like a UUID would stand for one.
    why = "its label is a UUID";
  if (why) {
    lws_log(QLLL_DEBUG, "QueryAPIReceivedText: could not process item %s (%s)", item.Path.c_str(), why);
    return;
  }
  // The node's own resources are named by the node itself, whatever a registry says of them.
  if (!store.Get(("/" + topic + "/" + item.Path).c_str()).is_null()) return;
  auto& learnt = FData->Learnt[topic];
  bool changed = false;
  if (item.Post == TGrainItem::Present) {
    changed = store.SetNameFromUUID(topic, item.Path, item.Label);
    if (item.Label.empty())
      learnt.erase(item.Path);
    else
      learnt[item.Path] = item.Label;
  } else if (item.Pre == TGrainItem::Present) {
    changed = store.SetNameFromUUID(topic, item.Path, "");
    learnt.erase(item.Path);
  }
  FData->NamesChanged |= changed;
}

void TQELNMOSQueryClient::QueryAPIGrainEnd(TWSSubscription*, const TGrainReader& reader,
                                           TGrainReader::TResult result) {
  if (FData->NamesChanged) RefreshReceivers();
  FData->NamesChanged = false;
  if (result != TGrainReader::grWhole) {
    ++FData->BadGrains;
    lws_log(QLLL_DEBUG, "QueryAPIReceivedText: failed to parse received JSON data (%s)",
            reader.Error().c_str());
    return;
  }
  ++FData->Grains;
  if (!reader.HasGrain()) ++FData->BadGrains;
}

void TQELNMOSQueryClient::QueryAPIGrainTooBig(TWSSubscription* sub) {
  if (!Current(FData->Subscriptions, sub)) return;
  ++FData->DroppedGrains;
  lws_log(QLLL_ERR, "%s: a grain of more than %zu bytes on %s was dropped; subscribing afresh",
          GetName().c_str(), MaxGrainBytes, sub ? sub->GetName().c_str() : "the websocket");
  QueryAPIConnectLost(sub);
}

IQELNMOSQueryClient* IQELNMOSQueryClient::Create(IQELNMOSBridge* bridge) {
  return new TQELNMOSQueryClient(bridge);
}

} // namespace Qel_nmos_bridge
