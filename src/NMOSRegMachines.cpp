#include "NMOSRegMachines.h"

#include "NMOSNodeData.h"
#include "NMOSRegClient.h"
#include "helpers.h"

#include <algorithm>

namespace Qel_nmos_bridge {

using Qel_machine::TMachine;
using Qel_machine::TState;

namespace {

TNMOSResourceInfo& Rec(void* ctx) {
  return *static_cast<TNMOSResourceInfo*>(ctx);
}
TNMOSNodeInfo& Node(void* ctx) {
  return *static_cast<TNMOSNodeInfo*>(ctx);
}
IQELNMOSBaseClient& BC(void* ctx) {
  return Rec(ctx).GetClient().AsBC();
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
constexpr time_t DeadlineMs = REG_ACTION_TIMEOUT * 1000;
constexpr time_t RetryMs = 1000;

void ArmDeadline(TMachine* m, void*) {
  m->SetTimer(DeadlineMs);
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
  if (BC(ctx).AnyEligibleAPI() && LoopNow(ctx) >= node.LastAttempt + RetryMs) BC(ctx).SearchAPI(&node);
  m->SetTimer(RetryMs);
}
void RegAPI_Searching(TMachine*, void* ctx) {
  BC(ctx).SearchAPI(&Rec(ctx));
}

// Registering anew: whatever the children had registered is registered again below the node.
void RegAPI_RegSelected(TMachine* m, void* ctx) {
  Node(ctx).LastAttempt = LoopNow(ctx);
  Rec(ctx).SetChildEvent(ev_reset);
  ArmDeadline(m, ctx);
  Queue(ctx, Register);
}

void RegAPI_Created(TMachine*, void* ctx) {
  Node(ctx).NextHeartbeat = LoopNow(ctx) + HEARTBEAT_INTERVAL * 1000;
}

// Connected: the children are told to register, a better registry is looked for once a second, and
// the heartbeat timer runs. Entered again after every heartbeat and update.
void RegAPI_Registered(TMachine* m, void* ctx) {
  TNMOSNodeInfo& node = Node(ctx);
  node.GetClient().NodeRegistered();
  const uint64_t now = LoopNow(ctx);
  const uint64_t left = node.NextHeartbeat > now ? node.NextHeartbeat - now : 0;
  m->SetTimer(static_cast<time_t>(std::min<uint64_t>(left, RetryMs)));
  SendIfDirty(m, ctx);
}
void RegAPI_Running(TMachine* m, void* ctx) {
  TNMOSNodeInfo& node = Node(ctx);
  const uint64_t now = LoopNow(ctx);
  if (now + 1 >= node.NextHeartbeat) { // the timer may fire a millisecond early
    // Every 5 s from the registration, however long each heartbeat took.
    node.NextHeartbeat += HEARTBEAT_INTERVAL * 1000;
    if (node.NextHeartbeat <= now) node.NextHeartbeat = now + HEARTBEAT_INTERVAL * 1000;
    UV(m).StopTimer();
    m->SetEvent(ev_heartbeat_due);
    return;
  }
  BC(ctx).SearchAPI(&node);
  m->SetTimer(static_cast<time_t>(std::min<uint64_t>(node.NextHeartbeat - now, RetryMs)));
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
  Rec(ctx).GetClient().NodeRegFailed();
}
void RegAPI_RegDisconnect(TMachine* m, void* ctx) {
  lws_log(QLLL_WARN, "Machine %s Reg disconnect", m->Name().c_str());
  Queue(ctx, Unregister);
}
void RegAPI_RegConnLost(TMachine*, void* ctx) {
  BC(ctx).APILost();
}
// The active registry failed the connected node: it is ignored for 60 s and another one is looked for
// at once and then once a second, for 2 s.
void RegAPI_EnterFailover(TMachine* m, void* ctx) {
  BC(ctx).APIDegrade();
  Rec(ctx).LastTime = static_cast<time_t>(MonotonicSeconds()) + REG_ACTION_TIMEOUT;
  BC(ctx).SearchAPI(&Rec(ctx));
  m->SetTimer(RetryMs);
}
void RegAPI_FailoverSearching(TMachine* m, void* ctx) {
  if (static_cast<time_t>(MonotonicSeconds()) >= Rec(ctx).LastTime) {
    lws_log(QLLL_WARN, "Machine %s State(%s) timeout after %u seconds", m->Name().c_str(), m->GetStateName(),
            static_cast<unsigned>(REG_ACTION_TIMEOUT));
    UV(m).StopTimer();
    m->SetEvent(ev_search);
  } else {
    BC(ctx).SearchAPI(&Rec(ctx));
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
  if (rec.GetParent() && rec.GetParent()->IsRegistered()) m->SetTimer(RetryMs);
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
    m->SetTimer(RetryMs);
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
// Node: 0 off, 1 searching, 2 reg_pending, 3 connected, 4 updt_pending, 5 re-register, 6 failover,
// 7 node_quit, 8 hb_pending.
const TState RegClientStates[] = {
  // A changed document before registration needs nothing: the registration sends the current one.
  {"off", node_off, RegAPI_EnterOff, nullptr, nullptr,
    {{"start", ev_startup, &RegClientStates[1], nullptr},
     {"unregistered_update", ev_update, &RegClientStates[0], nullptr},
     {"quit", ev_quit, &RegClientStates[0], nullptr}}},
  {"searching", node_searching, RegAPI_EnterSearching, nullptr, RegAPI_Searching,
    {{"select", ev_register, &RegClientStates[2], nullptr},
     {"quit", ev_quit, &RegClientStates[0], nullptr},
     {"unregistered_update", ev_update, &RegClientStates[1], nullptr},
     {"gosearch", ev_search, &RegClientStates[1], nullptr}}},
  {"reg_pending", node_reg_pending, RegAPI_RegSelected, nullptr, Timeout,
    {{"regsuccess", ev_answer_created, &RegClientStates[3], RegAPI_Created},
     {"not_added", ev_answer_ok, &RegClientStates[5], RegAPI_RegDisconnect},
     {"regrefused", ev_answer_refused, &RegClientStates[1], nullptr},
     {"regfailed", ev_answer_unknown, &RegClientStates[1], RegAPI_RegFailed},
     {"conbroken", ev_answer_failed, &RegClientStates[1], RegAPI_RegConnLost},
     {"conbroken2", ev_no_answer, &RegClientStates[1], RegAPI_RegConnLost},
     {"conbroken3", ev_timeout, &RegClientStates[1], RegAPI_RegConnLost},
     {"gosearch", ev_search, &RegClientStates[1], nullptr},
     {"update", ev_update, &RegClientStates[2], nullptr},
     {"quit", ev_quit, &RegClientStates[7], RegAPI_RegDisconnect}}},
  {"connected", node_running, RegAPI_Registered, nullptr, RegAPI_Running,
    {{"gosearch", ev_search, &RegClientStates[6], nullptr},
     {"betterreg", ev_betterregfound, &RegClientStates[2], nullptr},
     {"heartbeat", ev_heartbeat_due, &RegClientStates[8], RegAPI_SendHeartbeat},
     {"update", ev_update, &RegClientStates[4], RegAPI_DoUpdate},
     {"quit", ev_quit, &RegClientStates[7], RegAPI_RegDisconnect}}},
  {"updt_pending", node_updt_pending, ArmDeadline, nullptr, Timeout,
    {{"updated", ev_answer_ok, &RegClientStates[3], nullptr},
     {"updated_new", ev_answer_created, &RegClientStates[3], nullptr},
     {"refused", ev_answer_refused, &RegClientStates[3], nullptr},
     {"unknown", ev_answer_unknown, &RegClientStates[2], nullptr},
     {"conbroken", ev_answer_failed, &RegClientStates[6], nullptr},
     {"conbroken2", ev_no_answer, &RegClientStates[6], nullptr},
     {"conbroken3", ev_timeout, &RegClientStates[6], nullptr},
     {"gosearch", ev_search, &RegClientStates[6], nullptr},
     {"update", ev_update, &RegClientStates[4], nullptr},
     {"quit", ev_quit, &RegClientStates[7], RegAPI_RegDisconnect}}},
  // The registry knew the node already: it is deleted there and registered afresh.
  {"re-register", node_reregister, ArmDeadline, nullptr, Timeout,
    {{"unregistered", ev_answer_deleted, &RegClientStates[1], nullptr},
     {"unknown", ev_answer_unknown, &RegClientStates[1], nullptr},
     {"refused", ev_answer_refused, &RegClientStates[6], nullptr},
     {"conbroken", ev_answer_failed, &RegClientStates[6], nullptr},
     {"conbroken2", ev_no_answer, &RegClientStates[6], nullptr},
     {"conbroken3", ev_timeout, &RegClientStates[6], nullptr},
     {"update", ev_update, &RegClientStates[5], nullptr},
     {"quit", ev_quit, &RegClientStates[0], nullptr}}},
  // Another registry is taken as one that shares the failed one's registrations: a heartbeat there
  // tells, and a 404 to it registers the node and everything again.
  {"failover", node_failover, RegAPI_EnterFailover, nullptr, RegAPI_FailoverSearching,
    {{"gosearch", ev_search, &RegClientStates[1], RegAPI_RegConnLost},
     {"switched", ev_switched, &RegClientStates[8], RegAPI_SendHeartbeat},
     {"update", ev_update, &RegClientStates[6], nullptr},
     {"quit", ev_quit, &RegClientStates[0], nullptr}}},
  {"node_quit", node_quit, ArmDeadline, nullptr, Timeout,
    {{"deleted", ev_answer_deleted, &RegClientStates[0], nullptr},
     {"del_unknown", ev_answer_unknown, &RegClientStates[0], nullptr},
     {"del_refused", ev_answer_refused, &RegClientStates[0], nullptr},
     {"del_failed", ev_answer_failed, &RegClientStates[0], nullptr},
     {"del_failed2", ev_no_answer, &RegClientStates[0], nullptr},
     {"del_failed3", ev_timeout, &RegClientStates[0], nullptr},
     {"update", ev_update, &RegClientStates[7], nullptr}}},
  // A heartbeat is under way; a registry that no longer knows the node gets it registered again.
  {"hb_pending", node_hb_pending, ArmDeadline, nullptr, Timeout,
    {{"alive", ev_answer_ok, &RegClientStates[3], nullptr},
     {"forgotten", ev_answer_unknown, &RegClientStates[2], nullptr},
     {"refused", ev_answer_refused, &RegClientStates[6], nullptr},
     {"conbroken", ev_answer_failed, &RegClientStates[6], nullptr},
     {"conbroken2", ev_no_answer, &RegClientStates[6], nullptr},
     {"conbroken3", ev_timeout, &RegClientStates[6], nullptr},
     {"gosearch", ev_search, &RegClientStates[6], nullptr},
     {"update", ev_update, &RegClientStates[8], nullptr},
     {"quit", ev_quit, &RegClientStates[7], RegAPI_RegDisconnect}}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};

// Resource: 0 off, 1 unregistered, 2 regpending, 3 registered, 4 del_pending, 5 updt_pending,
// 6 deleted, 7 readd_pending, 8 del_retry.
const TState ResourceStates[] = {
  {"off", res_off, Res_Enter_Off, nullptr, Res_Off,
    {{"reg", ev_register, &ResourceStates[2], Res_DoRegistration},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"unregistered_update", ev_update, &ResourceStates[0], nullptr}}},
  {"unregistered", res_unregistered, Res_Enter_Off, nullptr, Res_Off,
    {{"reg", ev_register, &ResourceStates[2], Res_DoRegistration},
     {"update", ev_update, &ResourceStates[1], nullptr},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration}}},
  {"regpending", res_regpending, ArmDeadline, nullptr, Timeout,
    {{"regsuccess", ev_answer_created, &ResourceStates[3], nullptr},
     {"regupdt_success", ev_answer_ok, &ResourceStates[3], nullptr},
     {"regrefused", ev_answer_refused, &ResourceStates[0], nullptr},
     {"regfailed", ev_answer_unknown, &ResourceStates[0], nullptr},
     {"server_fail", ev_answer_failed, &ResourceStates[0], nullptr},
     {"no_answer", ev_no_answer, &ResourceStates[0], nullptr},
     {"timeout", ev_timeout, &ResourceStates[0], nullptr},
     {"regabort", ev_delete, &ResourceStates[4], Res_DoUnregistration},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"waitregister", ev_register, &ResourceStates[2], nullptr},
     {"update", ev_update, &ResourceStates[2], nullptr}}},
  {"registered", res_registered, Res_EnterRegistered, nullptr, nullptr,
    {{"stay_reg", ev_register, &ResourceStates[3], nullptr},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration},
     {"update", ev_update, &ResourceStates[5], Res_DoUpdate},
     {"reset", ev_reset, &ResourceStates[0], nullptr}}},
  // The bridge has already removed the resource; only its registration is still to go. "reset" and
  // "reg" from a parent do not reach a record being deleted (SetChildEvent), and "update" means the
  // resource came back.
  {"del_pending", res_delpending, ArmDeadline, nullptr, Timeout,
    {{"del_success", ev_answer_deleted, &ResourceStates[6], nullptr},
     {"del_unknown", ev_answer_unknown, &ResourceStates[6], nullptr},
     {"del_refused", ev_answer_refused, &ResourceStates[6], nullptr},
     {"server_fail", ev_answer_failed, &ResourceStates[8], nullptr},
     {"no_answer", ev_no_answer, &ResourceStates[8], nullptr},
     {"timeout", ev_timeout, &ResourceStates[8], nullptr},
     {"reset", ev_reset, &ResourceStates[6], nullptr},
     {"readd", ev_update, &ResourceStates[7], nullptr}}},
  {"updt_pending", res_updtpending, ArmDeadline, nullptr, Timeout,
    {{"updt_success", ev_answer_ok, &ResourceStates[3], nullptr},
     {"updt_created", ev_answer_created, &ResourceStates[3], nullptr},
     {"updt_refused", ev_answer_refused, &ResourceStates[3], nullptr},
     {"updt_failed", ev_answer_unknown, &ResourceStates[1], nullptr},
     {"server_fail", ev_answer_failed, &ResourceStates[0], nullptr},
     {"no_answer", ev_no_answer, &ResourceStates[0], nullptr},
     {"timeout", ev_timeout, &ResourceStates[0], nullptr},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration},
     {"waitupdate", ev_register, &ResourceStates[5], nullptr},
     {"update", ev_update, &ResourceStates[5], nullptr}}},
  {"deleted", res_deleted, Res_Deleted, nullptr, nullptr, {}},
  // The resource came back while its deregistration was under way: the answer (or the deadline, which
  // keeps running) is awaited before it registers again.
  {"readd_pending", res_readdpending, ArmDeadline, nullptr, Timeout,
    {{"del_success", ev_answer_deleted, &ResourceStates[0], nullptr},
     {"del_unknown", ev_answer_unknown, &ResourceStates[0], nullptr},
     {"del_refused", ev_answer_refused, &ResourceStates[0], nullptr},
     {"server_fail", ev_answer_failed, &ResourceStates[0], nullptr},
     {"no_answer", ev_no_answer, &ResourceStates[0], nullptr},
     {"timeout", ev_timeout, &ResourceStates[0], nullptr},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"delete", ev_delete, &ResourceStates[4], nullptr},
     {"wait_delete", ev_register, &ResourceStates[7], nullptr},
     {"update", ev_update, &ResourceStates[7], nullptr}}},
  {"del_retry", res_delretry, Res_EnterDelRetry, nullptr, Res_DelRetry,
    {{"retry", ev_retry, &ResourceStates[4], Res_DoUnregistrationAgain},
     {"give_up", ev_timeout, &ResourceStates[6], nullptr},
     {"readd", ev_update, &ResourceStates[0], nullptr}}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
// clang-format on

TNMOSResourceInfo::TNMOSResourceInfo(IQELNMOSRegClient& client, TNMOSResourceInfo* parent,
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

TNMOSNodeInfo::TNMOSNodeInfo(IQELNMOSRegClient& client)
    : TNMOSResourceInfo(client, nullptr, "/self", RegClientStates) {}

bool TNMOSNodeInfo::IsRegistered() const {
  const int state = Machine.GetStateID();
  return state == node_running || state == node_updt_pending || state == node_hb_pending;
}

void TNMOSNodeInfo::Dump() {
  lws_log(QLLL_DEBUG, "Machine Node(%s) State(%s)", Machine.Name().c_str(), Machine.GetStateName());
}

} // namespace Qel_nmos_bridge
