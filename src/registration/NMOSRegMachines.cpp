#include "NMOSRegMachines.h"

#include "NMOSNodeData.h"
#include "helpers.h"

#include <algorithm>

namespace Qel_nmos_bridge {

using Qel_machine::TMachine;
using Qel_machine::TState;
using std::chrono::milliseconds;

namespace {

TNMOSResourceInfo& Rec(void* ctx) {
  return *static_cast<TNMOSResourceInfo*>(ctx);
}
TNMOSNodeInfo& Node(void* ctx) {
  return *static_cast<TNMOSNodeInfo*>(ctx);
}
IQELNMOSBaseClient& BC(void* ctx) {
  return Rec(ctx).GetClient();
}
void Queue(void* ctx, TNMOS_RegAction action) {
  BC(ctx).ActionQueueAdd(action, Rec(ctx));
}
Qel_machine::TMachineUV& UV(TMachine* m) {
  return *static_cast<Qel_machine::TMachineUV*>(m);
}
uint64_t LoopNow(void* ctx) {
  return uv_now(Rec(ctx).GetBridge().ServiceHost().Loop());
}

// Nothing polls: a pending action arms one timer for its deadline, and the run callback of the state
// is the deadline.
constexpr milliseconds Deadline = std::chrono::seconds(REG_ACTION_TIMEOUT);
constexpr milliseconds Retry = std::chrono::seconds(1);
constexpr uint64_t RetryMs = Retry.count();

void ArmDeadline(TMachine* m, void*) {
  m->SetTimer(Deadline);
}
void Timeout(TMachine* m, void* ctx) {
  lws_log(QLLL_WARN, "Machine %s State(%s) timeout after %u seconds", m->Name().c_str(), m->GetStateName(),
          static_cast<unsigned>(REG_ACTION_TIMEOUT));
  UV(m).StopTimer();
  BC(ctx).CancelRequest(Rec(ctx)); // a late answer is no longer wanted, nor its connection
  m->SetEvent(ev_timeout);
}
// A document that changed while the last one was under way goes out now.
void SendIfDirty(TMachine* m, void* ctx) {
  if (Rec(ctx).Dirty) m->SetEvent(ev_update);
}

// --- the node's machine ---

// Looks for a registry once a second, falling back to registries that failed when no other is left;
// at once when one is eligible and the last registration was tried more than a second ago.
void RegAPI_EnterSearching(TMachine* m, void* ctx) {
  TNMOSNodeInfo& node = Node(ctx);
  if (BC(ctx).AnyEligibleAPI() && LoopNow(ctx) >= node.LastAttempt + RetryMs &&
      BC(ctx).SearchAPI(TAPIChoice::First))
    m->SetEvent(ev_register);
  m->SetTimer(Retry);
}
void RegAPI_Searching(TMachine* m, void* ctx) {
  if (BC(ctx).SearchAPI(TAPIChoice::First)) m->SetEvent(ev_register);
}

// Registering anew: whatever the children had registered is registered again below the node, at the
// version of the registry now active.
void RegAPI_RegSelected(TMachine* m, void* ctx) {
  Node(ctx).LastAttempt = LoopNow(ctx);
  const TNMOSAPIInfo* api = BC(ctx).GetActiveAPI();
  Node(ctx).Version = api ? api->Version : std::string();
  Rec(ctx).SetChildEvent(ev_reset);
  ArmDeadline(m, ctx);
  Queue(ctx, Register);
}

void RegAPI_Created(TMachine*, void* ctx) {
  Node(ctx).NextHeartbeat = LoopNow(ctx) + Node(ctx).HeartbeatMs;
}

// Sets the timer to the next heartbeat, but a second at most: a better registry is looked for once a
// second.
void ArmRunning(TMachine* m, uint64_t now, uint64_t nextHeartbeat) {
  const uint64_t left = nextHeartbeat > now ? nextHeartbeat - now : 0;
  m->SetTimer(milliseconds(std::min(left, RetryMs)));
}

// The node is registered at the active registry: that registry has not failed, and the children may
// register.
void NodeRegistered(TNMOSNodeInfo& node) {
  if (TNMOSAPIInfo* api = node.GetClient().GetActiveAPI()) {
    api->ErrorCount = 0;
    api->IgnoreTime = 0;
  }
  node.SetChildEvent(ev_register);
}

// Connected: the children are told to register, a better registry is looked for once a second, and
// the heartbeat timer runs. Entered again after every heartbeat and update.
void RegAPI_Registered(TMachine* m, void* ctx) {
  TNMOSNodeInfo& node = Node(ctx);
  NodeRegistered(node);
  ArmRunning(m, LoopNow(ctx), node.NextHeartbeat);
  SendIfDirty(m, ctx);
}
void RegAPI_Running(TMachine* m, void* ctx) {
  TNMOSNodeInfo& node = Node(ctx);
  const uint64_t now = LoopNow(ctx);
  if (now + 1 >= node.NextHeartbeat) { // the timer may fire a millisecond early
    // Every interval (5 s unless the system says otherwise) from the registration, however long each
    // heartbeat took.
    node.NextHeartbeat += node.HeartbeatMs;
    if (node.NextHeartbeat <= now) node.NextHeartbeat = now + node.HeartbeatMs;
    UV(m).StopTimer();
    m->SetEvent(ev_heartbeat_due);
    return;
  }
  if (BC(ctx).SearchAPI(TAPIChoice::Better)) m->SetEvent(ev_betterregfound);
  ArmRunning(m, now, node.NextHeartbeat);
}

void RegAPI_SendHeartbeat(TMachine*, void* ctx) {
  Queue(ctx, Heartbeat);
}
void RegAPI_DoUpdate(TMachine*, void* ctx) {
  Queue(ctx, Update);
}

// The registry did not know where to register the node: it is ignored for a while if another one
// can take the node. (A registry that refuses the node's document is not at fault: it is asked again.)
void RegAPI_RegFailed(TMachine*, void* ctx) {
  BC(ctx).APIDegrade();
  Rec(ctx).SetChildEvent(ev_reset);
}
void RegAPI_RegDisconnect(TMachine* m, void* ctx) {
  lws_log(QLLL_WARN, "Machine %s Reg disconnect", m->Name().c_str());
  Queue(ctx, Unregister);
}
void RegAPI_RegConnLost(TMachine*, void* ctx) {
  BC(ctx).APILost();
}
// Another registry is active after a failover: one at the version the node was registered at is
// taken to share the failed one's registrations; one at another version knows none of them.
void Switched(TMachine* m, void* ctx) {
  const TNMOSAPIInfo* api = BC(ctx).GetActiveAPI();
  m->SetEvent(api && api->Version == Node(ctx).Version ? ev_switched : ev_switched_version);
}

// The active registry failed the connected node: it is ignored for 60 s and another one is looked for
// at once and then once a second, for 2 s. When every other registry failed too within the last
// minute (e.g. while it was not yet serving), the one that failed longest ago is tried at once: it may
// be back, and the node must not stay unregistered for the 2 s and then the search.
void RegAPI_EnterFailover(TMachine* m, void* ctx) {
  IQELNMOSBaseClient& client = BC(ctx);
  const TNMOSAPIInfo* failed = client.GetActiveAPI();
  client.APIDegrade();
  Rec(ctx).LastTime = static_cast<time_t>(MonotonicSeconds()) + REG_ACTION_TIMEOUT;
  if (client.SearchAPI(TAPIChoice::Next)) {
    Switched(m, ctx);
  } else if (!client.AnyEligibleAPI() && client.SearchAPI(TAPIChoice::First)) {
    if (client.GetActiveAPI() != failed)
      Switched(m, ctx);
    else
      client.UnselectAPI(); // the only one known: it is tried again by the search, once a second
  }
  m->SetTimer(Retry);
}
void RegAPI_FailoverSearching(TMachine* m, void* ctx) {
  if (static_cast<time_t>(MonotonicSeconds()) >= Rec(ctx).LastTime) {
    lws_log(QLLL_WARN, "Machine %s State(%s) timeout after %u seconds", m->Name().c_str(), m->GetStateName(),
            static_cast<unsigned>(REG_ACTION_TIMEOUT));
    UV(m).StopTimer();
    m->SetEvent(ev_search);
  } else if (BC(ctx).SearchAPI(TAPIChoice::Next)) {
    Switched(m, ctx);
  }
}
// The node's children lose their registration with the node's.
void RegAPI_EnterOff(TMachine*, void* ctx) {
  Rec(ctx).SetChildEvent(ev_reset);
}

// --- every other resource's machine ---

// Off or unregistered: the children lose their registration too. While the parent is registered, the
// registration is tried again once a second; otherwise the parent's "reg" starts it.
void Res_Enter_Off(TMachine* m, void* ctx) {
  TNMOSResourceInfo& rec = Rec(ctx);
  rec.SetChildEvent(ev_reset);
  if (rec.GetParent() && rec.GetParent()->IsRegistered()) m->SetTimer(Retry);
}
void Res_Off(TMachine* m, void* ctx) {
  TNMOSResourceInfo& rec = Rec(ctx);
  UV(m).StopTimer();
  if (!rec.Deleting && rec.GetParent() && rec.GetParent()->IsRegistered()) m->SetEvent(ev_register);
}
void Res_DoRegistration(TMachine*, void* ctx) {
  Queue(ctx, Register);
}
void Res_EnterRegistered(TMachine* m, void* ctx) {
  Rec(ctx).SetChildEvent(ev_register);
  SendIfDirty(m, ctx);
}
void Res_DoUpdate(TMachine*, void* ctx) {
  Queue(ctx, Update);
}
// The resource has ended; its children have not (the bridge ends those it removes itself), but they
// lose their registration with their parent's.
void Res_DoUnregistration(TMachine*, void* ctx) {
  Rec(ctx).SetChildEvent(ev_reset);
  Rec(ctx).DeleteAttempts = 1;
  Queue(ctx, Unregister);
}
// A deregistration that got no answer is tried again a second later, a few times, so that a registry
// that failed once does not keep the resource.
void Res_EnterDelRetry(TMachine* m, void* ctx) {
  if (Rec(ctx).DeleteAttempts >= DELETE_ATTEMPTS)
    m->SetEvent(ev_timeout);
  else
    m->SetTimer(Retry);
}
void Res_DelRetry(TMachine* m, void*) {
  UV(m).StopTimer();
  m->SetEvent(ev_retry);
}
void Res_DoUnregistrationAgain(TMachine*, void* ctx) {
  ++Rec(ctx).DeleteAttempts;
  Queue(ctx, Unregister);
}
void Res_Deleted(TMachine*, void* ctx) {
  BC(ctx).MachineFinished(Rec(ctx));
}

} // namespace

// clang-format off
constexpr TState RegClientStates[] = {
  // A changed document before registration needs nothing: the registration sends the current one.
  {"off", node_off, RegAPI_EnterOff, nullptr, nullptr,
    {{"start", ev_startup, node_searching, nullptr},
     {"unregistered_update", ev_update, node_off, nullptr},
     {"quit", ev_quit, node_off, nullptr}}},
  {"searching", node_searching, RegAPI_EnterSearching, nullptr, RegAPI_Searching,
    {{"select", ev_register, node_reg_pending, nullptr},
     {"quit", ev_quit, node_off, nullptr},
     {"unregistered_update", ev_update, node_searching, nullptr},
     {"gosearch", ev_search, node_searching, nullptr}}},
  {"reg_pending", node_reg_pending, RegAPI_RegSelected, nullptr, Timeout,
    {{"regsuccess", ev_answer_created, node_running, RegAPI_Created},
     {"not_added", ev_answer_ok, node_reregister, RegAPI_RegDisconnect},
     {"regrefused", ev_answer_refused, node_searching, nullptr},
     {"regfailed", ev_answer_unknown, node_searching, RegAPI_RegFailed},
     {"conbroken", ev_answer_failed, node_searching, RegAPI_RegConnLost},
     {"conbroken2", ev_no_answer, node_searching, RegAPI_RegConnLost},
     {"conbroken3", ev_timeout, node_searching, RegAPI_RegConnLost},
     {"gosearch", ev_search, node_searching, nullptr},
     {"update", ev_update, node_reg_pending, nullptr},
     {"quit", ev_quit, node_quit, RegAPI_RegDisconnect}}},
  {"connected", node_running, RegAPI_Registered, nullptr, RegAPI_Running,
    {{"gosearch", ev_search, node_failover, nullptr},
     {"betterreg", ev_betterregfound, node_reg_pending, nullptr},
     {"heartbeat", ev_heartbeat_due, node_hb_pending, RegAPI_SendHeartbeat},
     {"update", ev_update, node_updt_pending, RegAPI_DoUpdate},
     {"quit", ev_quit, node_quit, RegAPI_RegDisconnect}}},
  {"updt_pending", node_updt_pending, ArmDeadline, nullptr, Timeout,
    {{"updated", ev_answer_ok, node_running, nullptr},
     {"updated_new", ev_answer_created, node_running, nullptr},
     {"refused", ev_answer_refused, node_running, nullptr},
     {"unknown", ev_answer_unknown, node_reg_pending, nullptr},
     {"conbroken", ev_answer_failed, node_failover, nullptr},
     {"conbroken2", ev_no_answer, node_failover, nullptr},
     {"conbroken3", ev_timeout, node_failover, nullptr},
     {"gosearch", ev_search, node_failover, nullptr},
     {"update", ev_update, node_updt_pending, nullptr},
     {"quit", ev_quit, node_quit, RegAPI_RegDisconnect}}},
  // The registry knew the node already: it is deleted there and registered afresh.
  {"re-register", node_reregister, ArmDeadline, nullptr, Timeout,
    {{"unregistered", ev_answer_deleted, node_searching, nullptr},
     {"unknown", ev_answer_unknown, node_searching, nullptr},
     {"refused", ev_answer_refused, node_failover, nullptr},
     {"conbroken", ev_answer_failed, node_failover, nullptr},
     {"conbroken2", ev_no_answer, node_failover, nullptr},
     {"conbroken3", ev_timeout, node_failover, nullptr},
     {"update", ev_update, node_reregister, nullptr},
     {"quit", ev_quit, node_off, nullptr}}},
  // Another registry is taken as one that shares the failed one's registrations: a heartbeat there
  // tells, and a 404 to it registers the node and everything again.
  {"failover", node_failover, RegAPI_EnterFailover, nullptr, RegAPI_FailoverSearching,
    {{"gosearch", ev_search, node_searching, RegAPI_RegConnLost},
     {"switched", ev_switched, node_hb_pending, RegAPI_SendHeartbeat},
     {"switched_version", ev_switched_version, node_reg_pending, nullptr},
     {"update", ev_update, node_failover, nullptr},
     {"quit", ev_quit, node_off, nullptr}}},
  {"node_quit", node_quit, ArmDeadline, nullptr, Timeout,
    {{"deleted", ev_answer_deleted, node_off, nullptr},
     {"del_unknown", ev_answer_unknown, node_off, nullptr},
     {"del_refused", ev_answer_refused, node_off, nullptr},
     {"del_failed", ev_answer_failed, node_off, nullptr},
     {"del_failed2", ev_no_answer, node_off, nullptr},
     {"del_failed3", ev_timeout, node_off, nullptr},
     {"update", ev_update, node_quit, nullptr}}},
  // A heartbeat is under way; a registry that no longer knows the node gets it registered again.
  {"hb_pending", node_hb_pending, ArmDeadline, nullptr, Timeout,
    {{"alive", ev_answer_ok, node_running, nullptr},
     {"forgotten", ev_answer_unknown, node_reg_pending, nullptr},
     {"refused", ev_answer_refused, node_failover, nullptr},
     {"conbroken", ev_answer_failed, node_failover, nullptr},
     {"conbroken2", ev_no_answer, node_failover, nullptr},
     {"conbroken3", ev_timeout, node_failover, nullptr},
     {"gosearch", ev_search, node_failover, nullptr},
     {"update", ev_update, node_hb_pending, nullptr},
     {"quit", ev_quit, node_quit, RegAPI_RegDisconnect}}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};

constexpr TState ResourceStates[] = {
  {"off", res_off, Res_Enter_Off, nullptr, Res_Off,
    {{"reg", ev_register, res_regpending, Res_DoRegistration},
     {"delete", ev_delete, res_delpending, Res_DoUnregistration},
     {"reset", ev_reset, res_off, nullptr},
     {"unregistered_update", ev_update, res_off, nullptr}}},
  {"unregistered", res_unregistered, Res_Enter_Off, nullptr, Res_Off,
    {{"reg", ev_register, res_regpending, Res_DoRegistration},
     {"update", ev_update, res_unregistered, nullptr},
     {"reset", ev_reset, res_off, nullptr},
     {"delete", ev_delete, res_delpending, Res_DoUnregistration}}},
  {"regpending", res_regpending, ArmDeadline, nullptr, Timeout,
    {{"regsuccess", ev_answer_created, res_registered, nullptr},
     {"regupdt_success", ev_answer_ok, res_registered, nullptr},
     {"regrefused", ev_answer_refused, res_off, nullptr},
     {"regfailed", ev_answer_unknown, res_off, nullptr},
     {"server_fail", ev_answer_failed, res_off, nullptr},
     {"no_answer", ev_no_answer, res_off, nullptr},
     {"timeout", ev_timeout, res_off, nullptr},
     {"regabort", ev_delete, res_delpending, Res_DoUnregistration},
     {"reset", ev_reset, res_off, nullptr},
     {"waitregister", ev_register, res_regpending, nullptr},
     {"update", ev_update, res_regpending, nullptr}}},
  {"registered", res_registered, Res_EnterRegistered, nullptr, nullptr,
    {{"stay_reg", ev_register, res_registered, nullptr},
     {"delete", ev_delete, res_delpending, Res_DoUnregistration},
     {"update", ev_update, res_updtpending, Res_DoUpdate},
     {"reset", ev_reset, res_off, nullptr}}},
  // The bridge has already removed the resource; only its registration is still to go. "reset" and
  // "reg" from a parent do not reach a record being deleted (SetChildEvent), and "update" means the
  // resource came back.
  {"del_pending", res_delpending, ArmDeadline, nullptr, Timeout,
    {{"del_success", ev_answer_deleted, res_deleted, nullptr},
     {"del_unknown", ev_answer_unknown, res_deleted, nullptr},
     {"del_refused", ev_answer_refused, res_deleted, nullptr},
     {"server_fail", ev_answer_failed, res_delretry, nullptr},
     {"no_answer", ev_no_answer, res_delretry, nullptr},
     {"timeout", ev_timeout, res_delretry, nullptr},
     {"reset", ev_reset, res_deleted, nullptr},
     {"readd", ev_update, res_readdpending, nullptr}}},
  {"updt_pending", res_updtpending, ArmDeadline, nullptr, Timeout,
    {{"updt_success", ev_answer_ok, res_registered, nullptr},
     {"updt_created", ev_answer_created, res_registered, nullptr},
     {"updt_refused", ev_answer_refused, res_registered, nullptr},
     {"updt_failed", ev_answer_unknown, res_unregistered, nullptr},
     {"server_fail", ev_answer_failed, res_off, nullptr},
     {"no_answer", ev_no_answer, res_off, nullptr},
     {"timeout", ev_timeout, res_off, nullptr},
     {"reset", ev_reset, res_off, nullptr},
     {"delete", ev_delete, res_delpending, Res_DoUnregistration},
     {"waitupdate", ev_register, res_updtpending, nullptr},
     {"update", ev_update, res_updtpending, nullptr}}},
  {"deleted", res_deleted, Res_Deleted, nullptr, nullptr, {}},
  // The resource came back while its deregistration was under way: the answer (or the deadline, which
  // keeps running) is awaited before it registers again.
  {"readd_pending", res_readdpending, ArmDeadline, nullptr, Timeout,
    {{"del_success", ev_answer_deleted, res_off, nullptr},
     {"del_unknown", ev_answer_unknown, res_off, nullptr},
     {"del_refused", ev_answer_refused, res_off, nullptr},
     {"server_fail", ev_answer_failed, res_off, nullptr},
     {"no_answer", ev_no_answer, res_off, nullptr},
     {"timeout", ev_timeout, res_off, nullptr},
     {"reset", ev_reset, res_off, nullptr},
     {"delete", ev_delete, res_delpending, nullptr},
     {"wait_delete", ev_register, res_readdpending, nullptr},
     {"update", ev_update, res_readdpending, nullptr}}},
  {"del_retry", res_delretry, Res_EnterDelRetry, nullptr, Res_DelRetry,
    {{"retry", ev_retry, res_delpending, Res_DoUnregistrationAgain},
     {"give_up", ev_timeout, res_deleted, nullptr},
     {"readd", ev_update, res_off, nullptr}}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
// clang-format on
static_assert(TMachine::ValidTable(RegClientStates), "every transition leads to a state");
static_assert(TMachine::ValidTable(ResourceStates), "every transition leads to a state");

TNMOSResourceInfo::TNMOSResourceInfo(IQELNMOSBaseClient& client, TNMOSResourceInfo* parent,
                                     const std::string& path, const TState* states)
    : TNMOSStated(client.Bridge().ServiceHost().Loop(), path, states), Client(client), Parent(parent) {
  if (Parent) Parent->AddChild(this);
}

TNMOSResourceInfo::~TNMOSResourceInfo() {
  // Children and parent may outlive each other in the client's map: unlink both ways.
  if (Parent) Parent->RemoveChild(this);
  for (TNMOSResourceInfo* child : Childs)
    child->Parent = nullptr;
}

IQELNMOSBridge& TNMOSResourceInfo::GetBridge() const {
  return Client.Bridge();
}

void TNMOSResourceInfo::Dump() {
  lws_log(QLLL_DEBUG, "Machine %s State(%s)", Machine.Name().c_str(), Machine.GetStateName());
}

bool TNMOSResourceInfo::IsRegistered() const {
  const int state = Machine.GetStateID();
  return !Deleting && (state == res_registered || state == res_updtpending);
}

void TNMOSResourceInfo::SetChildEvent(int event) {
  for (TNMOSResourceInfo* child : Childs)
    if (!child->Deleting) child->Machine.SetEvent(event);
}

void TNMOSResourceInfo::SetParent(TNMOSResourceInfo* parent) {
  if (parent == Parent || parent == this) return;
  if (Parent) Parent->RemoveChild(this);
  Parent = parent;
  if (Parent) Parent->AddChild(this);
}

TNMOSNodeInfo::TNMOSNodeInfo(IQELNMOSBaseClient& client)
    : TNMOSResourceInfo(client, nullptr, "/self", RegClientStates) {}

bool TNMOSNodeInfo::IsRegistered() const {
  const int state = Machine.GetStateID();
  return state == node_running || state == node_updt_pending || state == node_hb_pending;
}

void TNMOSNodeInfo::Dump() {
  lws_log(QLLL_DEBUG, "Machine Node(%s) State(%s)", Machine.Name().c_str(), Machine.GetStateName());
}

} // namespace Qel_nmos_bridge
