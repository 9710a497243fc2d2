#include "ConnectionActivations.h"

#include "BridgeDocs.h"
#include "NMOSBridge_API.h"
#include "NMOSNodeData.h"
#include "ReceiverCaps.h"
#include "RequestChecks.h"
#include "SenderSDP.h"
#include "helpers.h"
#include "uv_unique_ptr.h"

#include <sys/timex.h>

#include <ctime>
#include <map>
#include <memory>

namespace Qel_nmos_bridge {

namespace {

const int64_t NanosPerSecond = 1000000000;
const int64_t NanosPerMilli = 1000000;
// TAI - UTC since the leap second at the end of 2016.
const int64_t UTCToTAISeconds = 37;
const char* const ModeImmediate = "activate_immediate";
const char* const ModeRelative = "activate_scheduled_relative";

bool IsSenderPath(const std::string& path) {
  return path.rfind("/senders/", 0) == 0;
}

std::string IdOf(const std::string& resourcePath) {
  return resourcePath.substr(resourcePath.rfind('/') + 1);
}

json NoActivation() {
  return {{"mode", nullptr}, {"requested_time", nullptr}, {"activation_time", nullptr}};
}

// A member of any kind, null when there is none.
json Member(const json& doc, const char* member) {
  return doc.is_object() && doc.contains(member) ? doc[member] : json();
}

std::string TextOr(const json& doc, const char* member) {
  return doc.is_object() && doc.contains(member) && doc[member].is_string() ? doc[member].get<std::string>()
                                                                            : std::string();
}

// Members of `change` replace those of `base` (a null too); objects merge member by member and the
// transport legs leg by leg, so a partial request keeps whatever it does not name.
json MergeStaged(const json& base, const json& change) {
  if (!base.is_object() || !change.is_object()) return change;
  json merged = base;
  for (auto it = change.begin(); it != change.end(); ++it) {
    json& target = merged[it.key()];
    if (it.key() == "transport_params" && target.is_array() && it->is_array()) {
      for (size_t leg = 0; leg < it->size(); ++leg)
        if (leg < target.size())
          target[leg] = MergeStaged(target[leg], (*it)[leg]);
        else
          target.push_back((*it)[leg]);
    } else if (target.is_object() && it->is_object()) {
      target = MergeStaged(target, *it);
    } else {
      target = *it;
    }
  }
  return merged;
}

// The value a receiver parameter staged as "auto" takes: the only one its constraints allow, else
// what it is now.
json Resolved(const json& constraint, const json& current, const json& fallback) {
  if (constraint.is_object() && constraint.contains("enum") && constraint["enum"].is_array() &&
      !constraint["enum"].empty())
    return constraint["enum"][0];
  if (!current.is_null() && current != "auto") return current;
  return fallback;
}

// The receiver legs to activate, each "auto" resolved against the leg's constraints and what it is now.
json ResolvedLegs(const json& legs, const json& constraints, const json& currentLegs) {
  json resolved = json::array();
  for (size_t i = 0; i < legs.size(); ++i) {
    json out = legs[i];
    const json& c = constraints.is_array() && i < constraints.size() ? constraints[i] : json::object();
    const json& current = i < currentLegs.size() ? currentLegs[i] : json::object();
    for (auto it = out.begin(); it != out.end(); ++it)
      if (*it == "auto")
        *it = Resolved(c.is_object() && c.contains(it.key()) ? c[it.key()] : json(),
                       current.is_object() && current.contains(it.key()) ? current[it.key()] : json(),
                       it.key() == "destination_port" ? json(DefaultRTPPort) : json(nullptr));
    resolved.push_back(out);
  }
  return resolved;
}

} // namespace

struct TQELConnectionActivationsData;

class TQELConnectionActivations : public IQELConnectionActivations {
public:
  explicit TQELConnectionActivations(IQELNMOSBridge& bridge);
  ~TQELConnectionActivations() override;
  TQELConnectionActivations(const TQELConnectionActivations&) = delete;
  TQELConnectionActivations& operator=(const TQELConnectionActivations&) = delete;

  void Destroy() override { delete this; }
  json Staged(const std::string& ResourcePath) override;
  int Stage(const std::string& ResourcePath, const std::string& Version, const json& Body, json& Answer,
            std::string& Why) override;
  bool Admits(const std::string& ReceiverPath, const json& Sender, std::string& Why) override;
  bool Forget(const std::string& ResourcePath) override { return Cancel(ResourcePath); }
  size_t Pending() const override;

  void Fire(std::string resourcePath);

private:
  // Each returns 200 when the activation is done (or, in a dry run, could be), else the HTTP status
  // of the refusal with its reason in `why`; a refused activation changes nothing.
  int Activate(const std::string& path, const json& params, const json& activation, bool dryRun,
               std::string& why);
  int ActivateSender(const std::string& path, const json& params, const json& activation, bool dryRun,
                     std::string& why);
  int ActivateReceiver(const std::string& path, const json& params, const json& activation, bool dryRun,
                       std::string& why);
  int CheckStage(const std::string& path, const TConnectionRules& rules, const json& body, json& constraints,
                 std::string& why);
  bool FlowFormatOf(const std::string& flowId, TStreamFormat& format);
  json CapsOf(const std::string& receiverPath);
  int CheckCaps(const std::string& path, const std::string& senderId, const std::string& sdp,
                std::string& why);
  bool StageTransportFile(const json& file, const json& constraints, json& change, std::string& why);
  int StageActivation(const std::string& path, json staged, const json& activation, json& answer,
                      std::string& why);
  void Schedule(const std::string& path, int64_t due);
  bool Cancel(const std::string& path);

  IQELNMOSBridge& Bridge;
  std::unique_ptr<TQELConnectionActivationsData> FData;
};

// One scheduled activation: the resource it is for, its TAI time and the loop timer that fires it.
struct TPendingActivation {
  TQELConnectionActivations* Owner = nullptr;
  std::string ResourcePath;
  int64_t Due = 0;
  uv_timer_ptr Timer;
};

struct TQELConnectionActivationsData {
  std::map<std::string, std::unique_ptr<TPendingActivation>> Pending;
};

IQELConnectionActivations* IQELConnectionActivations::Create(IQELNMOSBridge& bridge) {
  return new TQELConnectionActivations(bridge);
}

int64_t IQELConnectionActivations::TAINow() {
  timespec now{};
  clock_gettime(CLOCK_TAI, &now);
  int64_t tai = static_cast<int64_t>(now.tv_sec) * NanosPerSecond + static_cast<int64_t>(now.tv_nsec);
  // Until something (the PTP daemon) tells the kernel the TAI-UTC offset, its TAI clock reads UTC,
  // and a controller's absolute activation would wait that offset too long: the offset since 2017
  // stands in for it.
  timex state{};
  if (adjtimex(&state) != -1 && state.tai == 0) tai += UTCToTAISeconds * NanosPerSecond;
  return tai;
}

std::string IQELConnectionActivations::InternPath(const std::string& resourcePath, const char* document) {
  return "/intern" + resourcePath + "/" + document;
}

std::string IQELConnectionActivations::TAIText(int64_t nanoseconds) {
  return std::to_string(nanoseconds / NanosPerSecond) + ":" + std::to_string(nanoseconds % NanosPerSecond);
}

TQELConnectionActivations::TQELConnectionActivations(IQELNMOSBridge& bridge)
    : Bridge(bridge), FData(std::make_unique<TQELConnectionActivationsData>()) {}

TQELConnectionActivations::~TQELConnectionActivations() = default;

size_t TQELConnectionActivations::Pending() const {
  return FData->Pending.size();
}

json TQELConnectionActivations::Staged(const std::string& path) {
  IQELNMOSNodeData& data = Bridge.Data();
  TNodeDBReadLocker lock(data);
  const json& stored = data.Get(InternPath(path, "staged").c_str());
  if (stored.is_object()) return stored;
  const json& active = data.Get(InternPath(path, "active").c_str());
  json staged = json::object();
  const bool sender = IsSenderPath(path);
  const char* peer = sender ? "receiver_id" : "sender_id";
  staged[peer] = Member(active, peer);
  staged["master_enable"] = IQELNMOSNodeData::JsonExtract(active, "master_enable", json(false));
  staged["activation"] = NoActivation();
  if (!sender)
    staged["transport_file"] =
        IQELNMOSNodeData::JsonExtract(active, "transport_file", json{{"data", nullptr}, {"type", nullptr}});
  staged["transport_params"] = IQELNMOSNodeData::JsonExtract(active, "transport_params", json::array());
  return staged;
}

int TQELConnectionActivations::Stage(const std::string& path, const std::string& version, const json& body,
                                     json& answer, std::string& why) {
  json constraints;
  const int status = CheckStage(path, ConnectionRules(version), body, constraints, why);
  if (status != 200) return status;
  json change = body;
  change.erase("activation");
  if (!IsSenderPath(path) && body.contains("transport_file") &&
      !StageTransportFile(body["transport_file"], constraints, change, why))
    return 400;
  json staged = MergeStaged(Staged(path), change);
  if (!body.contains("activation")) {
    Bridge.Data().Set(InternPath(path, "staged").c_str(), staged);
    answer = staged;
    return 200;
  }
  return StageActivation(path, staged, body["activation"], answer, why);
}

// 200 when body may be staged for the resource at path, else the status of the refusal; constraints
// are the resource's.
int TQELConnectionActivations::CheckStage(const std::string& path, const TConnectionRules& rules,
                                          const json& body, json& constraints, std::string& why) {
  IQELNMOSNodeData& data = Bridge.Data();
  {
    TNodeDBReadLocker lock(data);
    if (!data.Get(path.c_str()).is_object()) return why = "no such resource", 404;
    constraints = data.Get(InternPath(path, "constraints").c_str());
  }
  const size_t legs = constraints.is_array() && !constraints.empty() ? constraints.size() : 1;
  const bool sender = IsSenderPath(path);
  if (!(sender ? CheckSenderStage(body, legs, rules, why) : CheckReceiverStage(body, legs, rules, why)))
    return 400;
  if (body.contains("transport_params") && !CheckConstraints(body["transport_params"], constraints, why))
    return 400;
  const bool cancelling = body.contains("activation") && body["activation"]["mode"].is_null();
  if (FData->Pending.count(path) && !cancelling)
    return why = "a scheduled activation is pending: cancel it first (activation mode null)", 423;
  return 200;
}

// A staged transport file names the stream's addresses and port: they become the first leg's
// parameters, unless the request names them itself.
bool TQELConnectionActivations::StageTransportFile(const json& file, const json& constraints, json& change,
                                                   std::string& why) {
  const std::string sdp = TextOr(file, "data");
  if (sdp.empty()) return true;
  json& legsOut = change["transport_params"];
  if (!legsOut.is_array()) legsOut = json::array({json::object()});
  if (legsOut.empty()) legsOut.push_back(json::object());
  json fromSDP = SDPReceiverParams(sdp);
  fromSDP["rtp_enabled"] = true;
  for (auto it = fromSDP.begin(); it != fromSDP.end(); ++it)
    if (!legsOut[0].contains(it.key())) legsOut[0][it.key()] = *it;
  return CheckConstraints(legsOut, constraints, why);
}

// Carries out the activation a staging asks for: none (a cancellation), at once, or at a time.
int TQELConnectionActivations::StageActivation(const std::string& path, json staged, const json& activation,
                                               json& answer, std::string& why) {
  const std::string stagedPath = InternPath(path, "staged");
  const json& mode = activation["mode"];
  const json requested = activation.contains("requested_time") ? activation["requested_time"] : json();
  if (mode.is_null()) {
    if (Cancel(path)) lws_log(QLLL_INFO, "Activation of %s cancelled", path.c_str());
    staged["activation"] = NoActivation();
    Bridge.Data().Set(stagedPath.c_str(), staged);
    answer = staged;
    return 200;
  }
  const int64_t now = TAINow();
  if (mode == ModeImmediate) {
    const json done = {
        {"mode", ModeImmediate}, {"requested_time", nullptr}, {"activation_time", TAIText(now)}};
    const int status = Activate(path, staged, done, false, why);
    if (status != 200) return status;
    answer = staged;
    answer["activation"] = done;
    staged["activation"] = NoActivation();
    Bridge.Data().Set(stagedPath.c_str(), staged);
    return 200;
  }
  int64_t time = 0;
  if (!requested.is_string() || !ParseTAITime(requested.get<std::string>(), time))
    return why = "a scheduled activation needs a requested_time", 400;
  const int64_t due = mode == ModeRelative ? now + time : time;
  const int status = Activate(path, staged, json(), true, why);
  if (status != 200) return status;
  staged["activation"] = {{"mode", mode}, {"requested_time", requested}, {"activation_time", TAIText(due)}};
  Bridge.Data().Set(stagedPath.c_str(), staged);
  Schedule(path, due);
  lws_log(QLLL_INFO, "Activation of %s scheduled for %s", path.c_str(), TAIText(due).c_str());
  answer = staged;
  return 202;
}

void TQELConnectionActivations::Schedule(const std::string& path, int64_t due) {
  auto pending = std::make_unique<TPendingActivation>();
  pending->Owner = this;
  pending->ResourcePath = path;
  pending->Due = due;
  uv_loop_t* loop = Bridge.ServiceHost().Loop();
  pending->Timer.reset(new uv_timer_t);
  uv_timer_init(loop, pending->Timer.get());
  pending->Timer->data = pending.get();
  // The loop's clock is that of the start of its turn: brought up to date, the timer cannot fire early.
  uv_update_time(loop);
  const int64_t wait = due - TAINow();
  const uint64_t millis = wait > 0 ? static_cast<uint64_t>((wait + NanosPerMilli - 1) / NanosPerMilli) : 0;
  uv_timer_start(
      pending->Timer.get(),
      [](uv_timer_t* timer) {
        auto* fired = static_cast<TPendingActivation*>(timer->data);
        if (fired) fired->Owner->Fire(fired->ResourcePath);
      },
      millis, 0);
  FData->Pending[path] = std::move(pending);
}

bool TQELConnectionActivations::Cancel(const std::string& path) {
  return FData->Pending.erase(path) > 0;
}

void TQELConnectionActivations::Fire(std::string path) {
  auto it = FData->Pending.find(path);
  if (it == FData->Pending.end()) return;
  const int64_t now = TAINow();
  if (now < it->second->Due) {
    // The loop timer ran ahead of the TAI clock: wait for the rest.
    const int64_t due = it->second->Due;
    Schedule(path, due);
    return;
  }
  FData->Pending.erase(it);
  IQELNMOSNodeData& data = Bridge.Data();
  const std::string stagedPath = InternPath(path, "staged");
  json staged;
  {
    TNodeDBReadLocker lock(data);
    if (!data.Get(path.c_str()).is_object()) return; // the resource has ended meanwhile
    staged = data.Get(stagedPath.c_str());
  }
  if (!staged.is_object()) return;
  json done = staged["activation"];
  done["activation_time"] = TAIText(now);
  std::string why;
  if (Activate(path, staged, done, false, why) != 200)
    lws_log(QLLL_ERR, "Scheduled activation of %s failed: %s", path.c_str(), why.c_str());
  else
    lws_log(QLLL_INFO, "Activated %s at %s", path.c_str(), TAIText(now).c_str());
  staged["activation"] = NoActivation();
  data.Set(stagedPath.c_str(), staged);
}

int TQELConnectionActivations::Activate(const std::string& path, const json& params, const json& activation,
                                        bool dryRun, std::string& why) {
  return IsSenderPath(path) ? ActivateSender(path, params, activation, dryRun, why)
                            : ActivateReceiver(path, params, activation, dryRun, why);
}

bool TQELConnectionActivations::FlowFormatOf(const std::string& flowId, TStreamFormat& format) {
  if (!IsNMOSID(flowId)) return false;
  IQELNMOSNodeData& data = Bridge.Data();
  TNodeDBReadLocker lock(data);
  const json& flow = data.Get(("/flows/" + flowId).c_str());
  if (!flow.is_object()) return false;
  format = FlowFormat(flow, data.Get(("/sources/" + TextOr(flow, "source_id")).c_str()));
  return true;
}

// 200 when the capabilities of the receiver at path admit the stream an activation names (its
// transport file, else the flow of sender senderId when this node holds it), else 400.
int TQELConnectionActivations::CheckCaps(const std::string& path, const std::string& senderId,
                                         const std::string& sdp, std::string& why) {
  TStreamFormat format;
  if (!sdp.empty()) {
    format = SDPStreamFormat(sdp);
  } else {
    std::string flowId;
    {
      IQELNMOSNodeData& data = Bridge.Data();
      TNodeDBReadLocker lock(data);
      if (!senderId.empty()) flowId = TextOr(data.Get(("/senders/" + senderId).c_str()), "flow_id");
    }
    if (!FlowFormatOf(flowId, format)) return 200;
  }
  return CapsAdmit(CapsOf(path), format, why) ? 200 : 400;
}

json TQELConnectionActivations::CapsOf(const std::string& receiverPath) {
  TNodeDBReadLocker lock(Bridge.Data());
  return Member(Bridge.Data().Get(receiverPath.c_str()), "caps");
}

bool TQELConnectionActivations::Admits(const std::string& receiverPath, const json& sender,
                                       std::string& why) {
  TStreamFormat format;
  return !FlowFormatOf(TextOr(sender, "flow_id"), format) || CapsAdmit(CapsOf(receiverPath), format, why);
}

// The firmware owns what a sender sends: an activation confirms the parameters its constraints allow
// and names the receiver it sends to.
int TQELConnectionActivations::ActivateSender(const std::string& path, const json& params,
                                              const json& activation, bool dryRun, std::string& why) {
  IQELNMOSNodeData& data = Bridge.Data();
  const std::string activePath = InternPath(path, "active");
  json active, constraints;
  {
    TNodeDBReadLocker lock(data);
    active = data.Get(activePath.c_str());
    constraints = data.Get(InternPath(path, "constraints").c_str());
  }
  if (!active.is_object()) return why = "the sender has no active parameters", 400;
  if (params.contains("master_enable") && params["master_enable"] != active["master_enable"])
    return why = std::string("the firmware decides whether this sender sends: master_enable stays ") +
                 active["master_enable"].dump(),
           400;
  if (params.contains("transport_params") && !CheckConstraints(params["transport_params"], constraints, why))
    return 400;
  if (dryRun) return 200;
  const json receiverId = Member(params, "receiver_id");
  active["receiver_id"] = receiverId;
  active["activation"] = activation;
  data.Set(activePath.c_str(), active);
  Bridge.SetSenderSubscription(IdOf(path), receiverId);
  return 200;
}

// A receiver follows a stream by its name: the sender's name in the name table, else the session name
// of the staged transport file, else the address staged as the source.
int TQELConnectionActivations::ActivateReceiver(const std::string& path, const json& params,
                                                const json& activation, bool dryRun, std::string& why) {
  IQELNMOSNodeData& data = Bridge.Data();
  const std::string id = IdOf(path);
  if (data.GetIndexFromUUID("receivers", id) < 0) return why = "the receiver is unknown to the firmware", 400;
  const json legs = IQELNMOSNodeData::JsonExtract(params, "transport_params", json::array());
  const json leg = legs.empty() || !legs[0].is_object() ? json::object() : legs[0];
  // The firmware has one switch per receive stream: master_enable (RTP is always on, its constraint
  // says so).
  const bool enable = IQELNMOSNodeData::JsonExtract(params, "master_enable", json(false)).get<bool>();
  const std::string senderId = TextOr(params, "sender_id");
  const json transportFile = IQELNMOSNodeData::JsonExtract(params, "transport_file", json::object());
  std::string name;
  if (enable) {
    if (!senderId.empty()) name = data.GetNameFromUUID("senders", senderId);
    if (name.empty()) name = SDPSessionName(TextOr(transportFile, "data"));
    if (name.empty()) name = TextOr(leg, "multicast_ip");
    if (name.empty()) name = TextOr(leg, "source_ip");
    if (name.empty() && !senderId.empty())
      return why = "no stream is known for sender " + senderId + ": stage its transport file", 400;
  }
  // What the receiver is to take must be what it can take: the transport file's media parameters
  // apply while it is staged; without one, those of the flow of a sender of this node. A receiver
  // switched off takes nothing.
  if (enable && CheckCaps(path, senderId, TextOr(transportFile, "data"), why) != 200) return 400;
  if (dryRun) return 200;

  const std::string activePath = InternPath(path, "active");
  json active, constraints;
  {
    TNodeDBReadLocker lock(data);
    active = data.Get(activePath.c_str());
    constraints = data.Get(InternPath(path, "constraints").c_str());
  }
  if (!active.is_object()) active = json::object();
  active["sender_id"] = senderId.empty() ? json(nullptr) : json(senderId);
  active["master_enable"] = IQELNMOSNodeData::JsonExtract(params, "master_enable", json(false));
  active["activation"] = activation;
  active["transport_file"] = {{"data", transportFile.contains("data") ? transportFile["data"] : json()},
                              {"type", transportFile.contains("type") ? transportFile["type"] : json()}};
  active["transport_params"] = ResolvedLegs(
      legs, constraints, IQELNMOSNodeData::JsonExtract(active, "transport_params", json::array()));
  // The active parameters are written only once the firmware's command is queued.
  if (!Bridge.ConnectStream(id, senderId, name, enable, active)) {
    lws_log(QLLL_ERR, "Receiver %s: the firmware could not be asked to follow '%s'", id.c_str(),
            name.c_str());
    return why = "the firmware cannot take the command now (it is away or its queue is full): try again", 503;
  }
  lws_log(QLLL_INFO, "Receiver %s activated: stream '%s'%s", id.c_str(), name.c_str(),
          enable ? "" : " (off)");
  return 200;
}

} // namespace Qel_nmos_bridge
