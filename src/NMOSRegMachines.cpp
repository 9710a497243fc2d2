#include "NMOSRegMachines.h"

#include "NMOSNodeData.h"
#include "NMOSNodeHTTP.h"
#include "NMOSRegClient.h"
#include "helpers.h"

namespace Qel_nmos_bridge {

using Qel_machine::TMachine;
using Qel_machine::TState;

namespace {

TNMOSResourceInfo& Rec(void* ctx) {
  return *static_cast<TNMOSResourceInfo*>(ctx);
}
IQELNMOSBaseClient& BC(void* ctx) {
  return Rec(ctx).GetClient().AsBC();
}
void Queue(void* ctx, TNMOS_RegAction action) {
  BC(ctx).ActionQueueAdd(action, Rec(ctx));
}
// Deadlines are seconds of the monotonic clock.
time_t Now() {
  return static_cast<time_t>(MonotonicSeconds());
}

// Polling states compare whole seconds, so ten runs a second are plenty; a run every millisecond
// would wake the worker a thousand times a second on an idle node.
constexpr time_t PollIntervalMs = 100;
void Poll(TMachine* m) {
  m->SetTimer(PollIntervalMs);
}

void Timeout(TMachine* m, int event) {
  lws_log(QLLL_WARN, "Machine %s State(%s) timeout after %u seconds", m->Name().c_str(), m->GetStateName(),
          static_cast<unsigned>(REG_ACTION_TIMEOUT));
  m->SetEvent(event);
}

// --- the node's machine ---

void RegAPI_EnterSearching(TMachine* m, void*) {
  Poll(m);
}
void RegAPI_Searching(TMachine*, void* ctx) {
  BC(ctx).SearchAPI(&Rec(ctx));
}

void RegAPI_RegSelected(TMachine* m, void* ctx) {
  Poll(m);
  Rec(ctx).LastTime = Now() + REG_ACTION_TIMEOUT;
  Queue(ctx, Register);
}
void RegAPI_HandleRegPending(TMachine* m, void* ctx) {
  if (Now() > Rec(ctx).LastTime) Timeout(m, ev_reg_failed);
}

void RegAPI_Registered(TMachine* m, void* ctx) {
  Poll(m);
  Rec(ctx).GetClient().NodeRegistered();
  Rec(ctx).UpdtTime = Now();
}
void RegAPI_Running(TMachine*, void* ctx) {
  TNMOSResourceInfo& rec = Rec(ctx);
  time_t now = Now();
  if (now - rec.LastTime > 0) {
    BC(ctx).SearchAPI(&rec);
    rec.LastTime = now;
    rec.SetChildEvent(ev_register);
  }
  if (now - rec.UpdtTime > 4) {
    rec.UpdtTime = now;
    Queue(ctx, Heartbeat);
  }
}

void RegAPI_RegFailed(TMachine*, void* ctx) {
  Rec(ctx).GetClient().NodeRegFailed();
}
void RegAPI_DoUpdate(TMachine*, void* ctx) {
  Queue(ctx, Update);
}
void RegAPI_EnterUpdtPending(TMachine* m, void* ctx) {
  Poll(m);
  Rec(ctx).UpdtTime = Now() + REG_ACTION_TIMEOUT;
}
void RegAPI_HandleUpdtPending(TMachine* m, void* ctx) {
  if (Now() > Rec(ctx).UpdtTime) Timeout(m, ev_updt_failed);
}
void RegAPI_RegDisconnect(TMachine* m, void* ctx) {
  lws_log(QLLL_WARN, "Machine %s Reg disconnect", m->Name().c_str());
  Queue(ctx, Unregister);
}
void RegAPI_RegConnLost(TMachine*, void* ctx) {
  BC(ctx).APILost();
}
void RegAPI_EnterFailover(TMachine* m, void* ctx) {
  BC(ctx).APIDegrade();
  Rec(ctx).UpdtTime = Now() + REG_ACTION_TIMEOUT;
  Poll(m);
}
void RegAPI_FailoverSearching(TMachine* m, void* ctx) {
  if (Now() > Rec(ctx).UpdtTime)
    Timeout(m, ev_search);
  else
    BC(ctx).SearchAPI(&Rec(ctx));
}
void RegAPI_LeaveFailover(TMachine*, void* ctx) {
  Queue(ctx, Heartbeat);
}
void RegAPI_EnterQuit(TMachine* m, void* ctx) {
  Poll(m);
  Rec(ctx).LastTime = Now() + REG_ACTION_TIMEOUT;
}
void RegAPI_HandleQuitPending(TMachine* m, void* ctx) {
  if (Now() > Rec(ctx).LastTime) Timeout(m, ev_del_failed);
}

// --- every other resource's machine ---

void Res_Enter_Off(TMachine*, void* ctx) {
  Rec(ctx).SetChildEvent(ev_reset);
}
void Res_Enter_Unregistered(TMachine*, void* ctx) {
  Rec(ctx).SetChildEvent(ev_reset);
}
void Res_DoRegistration(TMachine*, void* ctx) {
  Queue(ctx, Register);
}
void Res_EnterRegPending(TMachine* m, void* ctx) {
  Rec(ctx).LastTime = Now();
  Poll(m);
}
void Res_HandleRegPending(TMachine* m, void* ctx) {
  if (Now() - Rec(ctx).LastTime > 1) Timeout(m, ev_reg_failed);
}
void Res_EnterRegistered(TMachine* m, void* ctx) {
  Poll(m);
  Rec(ctx).LastTime = Rec(ctx).UpdtTime = Now();
}
void Res_HandleRegistered(TMachine*, void* ctx) {
  TNMOSResourceInfo& rec = Rec(ctx);
  time_t now = Now();
  if (now - rec.LastTime > 0) {
    rec.SetChildEvent(ev_register);
    rec.LastTime = now;
  }
}
void Res_DoUpdate(TMachine*, void* ctx) {
  Queue(ctx, Update);
}
void Res_EnterUdptPending(TMachine* m, void* ctx) {
  Poll(m);
  Rec(ctx).UpdtTime = Now() + REG_ACTION_TIMEOUT;
}
void Res_HandleUpdtPending(TMachine* m, void* ctx) {
  if (Now() > Rec(ctx).UpdtTime) Timeout(m, ev_updt_failed);
}
// The resource has ended; its children have not (the bridge ends those it removes itself), but they
// lose their registration with their parent's.
void Res_DoUnregistration(TMachine*, void* ctx) {
  Rec(ctx).SetChildEvent(ev_reset);
  Queue(ctx, Unregister);
}
void Res_EnterDelPending(TMachine* m, void* ctx) {
  Poll(m);
  Rec(ctx).LastTime = Now() + REG_ACTION_TIMEOUT;
}
void Res_HandleDelPending(TMachine* m, void* ctx) {
  if (Now() > Rec(ctx).LastTime) Timeout(m, ev_del_failed);
}
// The resource came back while its deregistration was under way: the answer (or the deadline, which
// keeps running) is awaited before it registers again.
void Res_EnterReaddPending(TMachine* m, void*) {
  Poll(m);
}

} // namespace

// clang-format off
const TState RegClientStates[] = {
  // A changed document before registration needs nothing: the registration sends the current one.
  {"off", node_off, nullptr, nullptr, nullptr,
    {{"start", ev_startup, &RegClientStates[1], nullptr},
     {"unregistered_update", ev_update, &RegClientStates[0], nullptr}}},
  {"searching", node_searching, RegAPI_EnterSearching, nullptr, RegAPI_Searching,
    {{"select", ev_register, &RegClientStates[2], nullptr},
     {"quit", ev_quit, &RegClientStates[7], nullptr},
     {"unregistered_update", ev_update, &RegClientStates[1], nullptr}}},
  {"reg_pending", node_reg_pending, RegAPI_RegSelected, nullptr, RegAPI_HandleRegPending,
    {{"regsuccess", 201, &RegClientStates[3], nullptr},
     {"regfailed", 404, &RegClientStates[1], RegAPI_RegFailed},
     {"conbroken2", 503, &RegClientStates[1], RegAPI_RegConnLost},
     {"conbroken3", 500, &RegClientStates[1], RegAPI_RegConnLost},
     {"not_added", 200, &RegClientStates[5], RegAPI_RegDisconnect},
     {"quit", ev_quit, &RegClientStates[7], RegAPI_RegDisconnect}}},
  {"connected", node_running, RegAPI_Registered, nullptr, RegAPI_Running,
    {{"gosearch", ev_search, &RegClientStates[6], nullptr},
     {"betterreg", ev_betterregfound, &RegClientStates[6], nullptr},
     {"conbroken", 404, &RegClientStates[6], nullptr},
     {"conbroken2", 503, &RegClientStates[6], nullptr},
     {"conbroken3", 500, &RegClientStates[6], nullptr},
     {"heartbeat", 200, &RegClientStates[3], nullptr},
     {"update", ev_update, &RegClientStates[4], RegAPI_DoUpdate},
     {"quit", ev_quit, &RegClientStates[7], RegAPI_RegDisconnect}}},
  {"updt_pending", node_updt_pending, RegAPI_EnterUpdtPending, nullptr, RegAPI_HandleUpdtPending,
    {{"updated", 200, &RegClientStates[3], nullptr},
     {"updt_failed", 404, &RegClientStates[6], nullptr},
     {"conbroken2", 503, &RegClientStates[6], nullptr},
     {"conbroken3", 500, &RegClientStates[6], nullptr},
     {"quit", ev_quit, &RegClientStates[7], RegAPI_RegDisconnect}}},
  {"re-register", node_reregister, nullptr, nullptr, nullptr,
    {{"unregistered", 204, &RegClientStates[1], nullptr},
     {"updt_failed", 404, &RegClientStates[6], nullptr},
     {"conbroken2", 503, &RegClientStates[6], nullptr},
     {"conbroken3", 500, &RegClientStates[6], nullptr}}},
  {"failover", node_failover, RegAPI_EnterFailover, nullptr, RegAPI_FailoverSearching,
    {{"gosearch", ev_search, &RegClientStates[1], RegAPI_RegConnLost},
     {"switched", 201, &RegClientStates[3], RegAPI_LeaveFailover}}},
  {"node_quit", node_quit, RegAPI_EnterQuit, nullptr, RegAPI_HandleQuitPending,
    {{"deleted", 204, &RegClientStates[0], nullptr},
     {"del_failed", 404, &RegClientStates[0], nullptr},
     {"del_failed2", 503, &RegClientStates[0], RegAPI_RegConnLost},
     {"del_failed3", 500, &RegClientStates[0], RegAPI_RegConnLost}}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};

const TState ResourceStates[] = {
  {"off", res_off, Res_Enter_Off, nullptr, nullptr,
    {{"reg", ev_register, &ResourceStates[2], Res_DoRegistration},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"unregistered_update", ev_update, &ResourceStates[0], nullptr}}},
  {"unregistered", res_unregistered, Res_Enter_Unregistered, nullptr, nullptr,
    {{"reg", ev_register, &ResourceStates[2], Res_DoRegistration},
     {"update", ev_update, &ResourceStates[1], nullptr},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration}}},
  {"regpending", res_regpending, Res_EnterRegPending, nullptr, Res_HandleRegPending,
    {{"waitregister", ev_register, &ResourceStates[2], nullptr},
     {"regsuccess", 201, &ResourceStates[3], nullptr},
     {"regupdt_success", 200, &ResourceStates[3], nullptr},
     {"regfailed", 404, &ResourceStates[0], nullptr},
     {"server_fail", 500, &ResourceStates[0], nullptr},
     {"server_down", 503, &ResourceStates[0], nullptr},
     {"regabort", ev_delete, &ResourceStates[4], Res_DoUnregistration},
     {"reset", ev_reset, &ResourceStates[0], nullptr}}},
  {"registered", res_registered, Res_EnterRegistered, nullptr, Res_HandleRegistered,
    {{"stay_reg", ev_register, &ResourceStates[3], nullptr},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration},
     {"update", ev_update, &ResourceStates[5], Res_DoUpdate},
     {"conbroken", 404, &ResourceStates[1], nullptr},
     {"reset", ev_reset, &ResourceStates[0], nullptr}}},
  // The bridge has already removed the resource; only its registration is still to go. "reset" from
  // a parent does not reach a record being deleted (SetChildEvent), and "update" means the resource
  // came back.
  {"del_pending", res_delpending, Res_EnterDelPending, nullptr, Res_HandleDelPending,
    {{"del_success", 204, &ResourceStates[6], nullptr},
     {"del_failed", 404, &ResourceStates[6], nullptr},
     {"conbroken", 404, &ResourceStates[1], nullptr},
     {"server_fail", 500, &ResourceStates[6], nullptr},
     {"server_down", 503, &ResourceStates[6], nullptr},
     {"reset", ev_reset, &ResourceStates[6], nullptr},
     {"readd", ev_update, &ResourceStates[7], nullptr},
     {"wait_delete", ev_register, &ResourceStates[4], nullptr}}},
  {"updt_pending", res_updtpending, Res_EnterUdptPending, nullptr, Res_HandleUpdtPending,
    {{"updt_success", 200, &ResourceStates[3], nullptr},
     {"updt_failed", 404, &ResourceStates[1], nullptr},
     {"conbroken", 404, &ResourceStates[1], nullptr},
     {"server_fail", 500, &ResourceStates[0], nullptr},
     {"server_down", 503, &ResourceStates[0], nullptr},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"delete", ev_delete, &ResourceStates[4], Res_DoUnregistration}}},
  {"deleted", res_deleted, nullptr, nullptr, nullptr, {}},
  {"readd_pending", res_readdpending, Res_EnterReaddPending, nullptr, Res_HandleDelPending,
    {{"del_success", 204, &ResourceStates[0], nullptr},
     {"del_failed", 404, &ResourceStates[0], nullptr},
     {"server_fail", 500, &ResourceStates[0], nullptr},
     {"server_down", 503, &ResourceStates[0], nullptr},
     {"reset", ev_reset, &ResourceStates[0], nullptr},
     {"delete", ev_delete, &ResourceStates[4], nullptr},
     {"wait_delete", ev_register, &ResourceStates[7], nullptr},
     {"update", ev_update, &ResourceStates[7], nullptr}}},
  {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
// clang-format on

TNMOSResourceInfo::TNMOSResourceInfo(IQELNMOSRegClient& client, TNMOSResourceInfo* parent,
                                     const std::string& path,
                                     const Qel_rest_srv::TRESTHandler_Static_Def& restHandlerDef,
                                     const TState* states)
    : TNMOSStated(client.Bridge().ServiceHost().Loop(), path, states), TVarStorage(&client.Bridge().AsVS()),
      Client(client), Parent(parent), RESTHandlerData(restHandlerDef) {
  Set("${ID}", path);
  if (Parent) Parent->AddChild(this);
}

TNMOSResourceInfo::~TNMOSResourceInfo() {
  // Children and parent may outlive each other in the client's map: unlink both ways.
  if (Parent) Parent->RemoveChild(this);
  for (TNMOSResourceInfo* child : Childs)
    child->Parent = nullptr;
  if (URLsRegistered) Client.Bridge().RestSrv().AsReg().DelURLHandler(this);
}

IQELNMOSBridge& TNMOSResourceInfo::GetBridge() const {
  return Client.Bridge();
}

bool TNMOSResourceInfo::HandleReqest(Qel_rest_srv::TRESTRequestData& request,
                                     const Qel_rest_srv::IRESTEndPointHandlerImpl* endpoint) {
  return endpoint->Handle(this, request);
}

void TNMOSResourceInfo::Dump() {
  lws_log(QLLL_DEBUG, "Machine %s State(%s)", Machine.Name().c_str(), Machine.GetStateName());
}

void TNMOSResourceInfo::OnAfterAdded() {
  URLsRegistered = Client.Bridge().RestSrv().AsReg().AddURLHandler(this, RESTHandlerData);
}

void TNMOSResourceInfo::OnBeforeDelete() {
  Client.Bridge().RestSrv().AsReg().DelURLHandler(this);
  URLsRegistered = false;
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

TNMOSNodeInfo::TNMOSNodeInfo(IQELNMOSRegClient& client,
                             const Qel_rest_srv::TRESTHandler_Static_Def& restHandlerDef)
    : TNMOSResourceInfo(client, nullptr, "/self", restHandlerDef, RegClientStates) {}

void TNMOSNodeInfo::Dump() {
  lws_log(QLLL_DEBUG, "Machine Node(%s) State(%s)", Machine.Name().c_str(), Machine.GetStateName());
}

} // namespace Qel_nmos_bridge
