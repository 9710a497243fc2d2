// The common base of the registry API clients (registration and query): the registry endpoints found by
// discovery and the choice among them, the queue of actions that state machines ask for, and the
// state-machine records owned by name.
#pragma once

#include "HTTP_API.h"
#include "MachineUV.h"
#include "NMOSBridge_API.h"
#include "Threaded_API.h"
#include "Types.h"

#include <ctime>
#include <map>
#include <memory>
#include <string>

namespace Qel_auth {
class TOAuthClient;
}

namespace Qel_nmos_bridge {

class IQELNMOSBaseClient;
struct TNMOSClientData;

// Event ids of the registry machines, in sequence. What a registry answered, or that it did not, is an
// event of its own (AnswerEvent), whatever the status code that carried it.
enum events {
  ev_startup = 1,
  ev_search,         // the active registry has gone: look for another
  ev_register,       // a registry is chosen (node) / the parent is registered (resources)
  ev_betterregfound, // a registry of a lower priority value has become eligible
  ev_update,         // the resource's document changed
  ev_delete,
  ev_reset, // the parent lost its registration
  ev_quit,  // the node is to be deregistered
  ev_query,
  ev_timeout,         // a pending action got no answer before its deadline
  ev_heartbeat_due,   // the node's next heartbeat is due
  ev_retry,           // a failed action is to be tried again
  ev_switched,        // failover: another registry is active
  ev_answer_ok,       // 200: updated, known already, heartbeat taken
  ev_answer_created,  // 201
  ev_answer_deleted,  // 204
  ev_answer_refused,  // 4xx other than 404: the registry refuses the request
  ev_answer_unknown,  // 404: the registry does not know the resource
  ev_answer_failed,   // 5xx and anything unexpected: the registry failed
  ev_no_answer,       // no answer at all: refused or broken connection, transfer time-out
  ev_switched_version // failover: another registry is active, at another IS-04 version
};

// The event an HTTP status stands for.
int AnswerEvent(int status);

// What a machine asks of the endpoint selection.
enum class TAPIChoice {
  Keep,  // the active endpoint stays
  First, // any endpoint: the best eligible one, else (every one ignored after failures) the one whose
         // time runs out first, so that a network with a single registry keeps trying it
  Next,  // after a failure: an eligible endpoint other than the active one
  Better // an eligible endpoint of a lower priority value than the active one
};

// State id of a machine that may be removed.
constexpr int NMOSSTATE_DELETABLE = 65535;

enum TNMOS_RegAction {
  Register = 0,
  Unregister = 1,
  Update = 2,
  Heartbeat = 3,
  Query = 4,
  SubscribeAll = 5,
  UnsubscribeAll = 6
};

// One registry or query API endpoint, found by DNS-SD or named on the command line.
struct TNMOSAPIInfo {
  TNMOSAPIInfo(const std::string& addr, uint16_t port, uint32_t prio, const std::string& uri,
               const std::string& name, const std::string& version = "")
      : Addr(addr), URI(uri), Name(name), Version(version), Port(port), Prio(prio),
        AskVersions(version.empty()) {}

  std::string Addr;
  // The name its URLs carry when set (its certificate names it), reached at Addr; else Addr is used.
  std::string Host;
  std::string URI;
  std::string Name;
  // The IS-04 version the node speaks there ("v1.3"): the newest both serve. Empty while unknown: the
  // endpoint is then not used.
  std::string Version;
  uint16_t Port;
  uint32_t Prio; // lower is preferred
  uint32_t ErrorCount = 0;
  time_t IgnoreTime = 0; // not eligible while later than now (seconds of the monotonic clock)
  // Its versions are learnt by asking it (GET of the API's base): it was named on the command line or
  // advertised without "api_ver". It is asked when it becomes known and again after it failed.
  bool AskVersions;
  time_t AskDue = 0;        // when to ask (monotonic seconds); 0: not to be asked
  uintptr_t AskRequest = 0; // the request under way
  std::string AskProblem;   // what the last attempt told, once logged
  // "https" when the node is secure (every registry and query API is then reached over TLS), else
  // "http": a node speaks one protocol to every API it uses.
  std::string Scheme = "http";
  // Why TLS with it failed last (its certificate, its host name, the handshake), once logged; empty
  // since it last answered.
  std::string TLSProblem;

  // The host of its URLs: Host when set, else Addr.
  const std::string& URLHost() const { return Host.empty() ? Addr : Host; }
  // "http://HOST:PORT/x-nmos/registration/v1.3" (without the version while it is unknown).
  std::string ToString() const;
  // The API's base with the version: where its requests go.
  std::string BaseURL() const { return ToString(); }
  bool SameEndpoint(const TNMOSAPIInfo& o) const {
    return Addr == o.Addr && Host == o.Host && Port == o.Port && Prio == o.Prio;
  }
};

// The base of every object that owns a registry state machine.
class TNMOSStated {
public:
  TNMOSStated(uv_loop_t* loop, const std::string& name, const Qel_machine::TState* states);
  virtual void Dump();
  virtual void Destroy() { delete this; }
  virtual ~TNMOSStated();
  TNMOSStated(const TNMOSStated&) = delete;
  TNMOSStated& operator=(const TNMOSStated&) = delete;

  // The machine of a serial number, null once it is destroyed: completions that arrive late find
  // their machine through it, never through a pointer kept across loop turns.
  static TNMOSStated* FindSerial(uint64_t serial);

  Qel_machine::TMachineUV Machine;
  const uint64_t Serial; // unique over the process's life
  std::string Key;       // under which the client keeps it
  bool Deleting = false; // DelMachine has been asked for it, ReviveMachine takes it back
  // The document changed since it was last sent: it goes out once the action under way is answered.
  bool Dirty = false;
  // The request whose answer the machine waits for; answers to any other (given up, superseded) are
  // dropped. 0: none.
  uint64_t AwaitedRequest = 0;
  time_t LastTime = 0;
  time_t UpdtTime = 0;
  json Result; // parsed body of the last HTTP answer
};

// One queued action of a machine.
struct TNMOSActionInfo {
  TNMOSActionInfo(int action, TNMOSStated& state);
  ~TNMOSActionInfo();
  TNMOSActionInfo(const TNMOSActionInfo& other);
  TNMOSActionInfo& operator=(const TNMOSActionInfo&) = delete;

  int ActionID;
  TNMOSStated& State;
};

struct TStatedDeleter {
  void operator()(TNMOSStated* s) const;
};
using TMachinePtr = std::unique_ptr<TNMOSStated, TStatedDeleter>;

typedef bool (*TNMOSActionHandler)(IQELNMOSBaseClient* client, const TNMOSActionInfo& action);

class IQELNMOSBaseClient {
public:
  virtual void Destroy() = 0;
  virtual void Shutdown() = 0;
  virtual void DoCycle() = 0;
  virtual IQELNMOSBridge& Bridge() = 0;
  virtual TNMOSAPIInfo* GetActiveAPI() = 0;
  // `version`: the IS-04 version to speak there, chosen from its TXT records; empty: it is asked.
  // `host`, when not empty: the name its URLs carry, pinned to `addr` (see TNMOSAPIInfo::Host).
  virtual bool AddAPI(const char* addr, uint16_t port, uint16_t prio, const char* uri,
                      const std::string& name, const std::string& version,
                      const std::string& host = std::string()) = 0;
  virtual bool DelAPI(const std::string& name) = 0;
  virtual bool DelAPI(const char* addr, uint16_t port, uint16_t prio) = 0;
  virtual bool DelAPI(const TNMOSAPIInfo& api) = 0;
  virtual void UnselectAPI() = 0;
  virtual bool SetActiveAPI(TNMOSAPIInfo* api) = 0;
  // The endpoint the choice picks; null when it picks none (the active one is then kept).
  virtual TNMOSAPIInfo* SelectAPI(TAPIChoice choice) = 0;
  // Makes the endpoint the choice picks active: true when it picked one, false when the active one
  // stays. The caller's machine tells itself what follows.
  virtual bool SearchAPI(TAPIChoice choice) = 0;
  // Whether an endpoint is known that is not being ignored after a failure.
  virtual bool AnyEligibleAPI() = 0;
  virtual void APILost() = 0;
  virtual void APISelected() = 0;
  virtual void APIDegrade() = 0;
  virtual bool ActionQueueAdd(int action, TNMOSStated& machine) = 0;
  virtual void DumpStates() = 0;
  virtual const std::string& GetName() const = 0;
  // Takes ownership. A key already present keeps its machine: the passed one is destroyed and `machine`
  // then points at the existing one (false).
  virtual bool PushMachine(const std::string& key, TNMOSStated*& machine) = 0;
  virtual TNMOSStated* FindMachine(const std::string& key) = 0;
  // Sends the machine "delete" once; it stays until it reaches the deletable state.
  virtual bool DelMachine(const std::string& key) = 0;
  // The machine under key, taken back when its deletion was asked for (it is no longer Deleting). Null
  // when there is none, or when it has already reached the deletable state: it is then removed at
  // once, so that a new machine can take the key.
  virtual TNMOSStated* ReviveMachine(const std::string& key) = 0;
  // Removes and destroys the machine under key at once, whatever it was doing.
  virtual bool DropMachine(const std::string& key) = 0;
  // Gives up the request the machine waits for: it is ended and its answer never arrives.
  virtual void CancelRequest(TNMOSStated& machine) = 0;
  // The machine has reached the deletable state: the next cycle removes it.
  virtual void MachineFinished(TNMOSStated& machine) = 0;
  virtual void UpdateStats(const char* section, json& stats) = 0;
  // Every endpoint known, best first as the choice would take them: [{"url", "address", "port",
  // "priority", "version", "name", "in_use", "failed"}].
  virtual json ListAPIs() = 0;
  virtual ~IQELNMOSBaseClient() = default;
};

class TQELNMOSBaseClient : public IQELNMOSBaseClient,
                           public Qel_hosted::IHostedService,
                           public Qel_http::IQELCurlWrapperClient {
public:
  TQELNMOSBaseClient(IQELNMOSBridge& bridge, const char* name);
  ~TQELNMOSBaseClient() override;
  TQELNMOSBaseClient(const TQELNMOSBaseClient&) = delete;
  TQELNMOSBaseClient& operator=(const TQELNMOSBaseClient&) = delete;

  void Destroy() override { delete this; }
  void Shutdown() override;
  void DoCycle() override;
  IQELNMOSBridge& Bridge() override;
  TNMOSAPIInfo* GetActiveAPI() override;
  bool AddAPI(const char* addr, uint16_t port, uint16_t prio, const char* uri, const std::string& name,
              const std::string& version, const std::string& host = std::string()) override;
  bool DelAPI(const std::string& name) override;
  bool DelAPI(const char* addr, uint16_t port, uint16_t prio) override;
  bool DelAPI(const TNMOSAPIInfo& api) override;
  void UnselectAPI() override { SetActiveAPI(nullptr); }
  bool SetActiveAPI(TNMOSAPIInfo* api) override;
  TNMOSAPIInfo* SelectAPI(TAPIChoice choice) override;
  bool SearchAPI(TAPIChoice choice) override;
  bool AnyEligibleAPI() override { return BestAPI() != nullptr; }
  void APILost() override { HandleAPILost(); }
  void APISelected() override { HandleAPISelected(); }
  void APIDegrade() override { HandleAPIDegrade(); }
  bool ActionQueueAdd(int action, TNMOSStated& machine) override;
  void DumpStates() override;
  const std::string& GetName() const override;
  bool PushMachine(const std::string& key, TNMOSStated*& machine) override;
  TNMOSStated* FindMachine(const std::string& key) override;
  bool DelMachine(const std::string& key) override;
  TNMOSStated* ReviveMachine(const std::string& key) override;
  bool DropMachine(const std::string& key) override;
  void MachineFinished(TNMOSStated& machine) override;
  void CancelRequest(TNMOSStated& machine) override;
  void UpdateStats(const char* section, json& stats) override;
  json ListAPIs() override;

  virtual const char* ActionName(int action);
  bool Enabled() override { return true; }
  const Qel_hosted::TServiceInfo& GetInfo() override;
  virtual void HandleAPILost() {}
  virtual void HandleAPISelected() {}
  virtual void HandleAPIDegrade() {}
  uint32_t& GetCycleTime() override { return CycleTime; }

  // An endpoint whose versions are learnt by asking it is asked again at once (it failed: it may
  // have been replaced by a registry of other versions). Nothing for the others.
  void AskVersionsAgain(TNMOSAPIInfo& api);

  // Says once per endpoint and reason that TLS with it failed (its certificate, its host name, the
  // handshake); the failure counts as any other.
  void TLSFailed(TNMOSAPIInfo& api, const char* reason);

  // An id already present keeps its first handler.
  bool RegisterActionHandler(int action, const char* name, TNMOSActionHandler handler);

  // Starts an HTTP request for an action; its completion becomes an event of the action's machine
  // (the HTTP status, or 404 for a transport failure) if that machine still exists then.
  bool Request(const TNMOSActionInfo& action, const std::string& url, const char* method,
               const std::string& body);
  Qel_http::IQELCurlWrapper& HTTP();

  // IQELCurlWrapperClient
  void OnCurlSuccess(void* Data, int Result, const char* Response) override;
  void OnCurlError(void* Data, int Result, const char* Message) override;

  static constexpr size_t MaxAPIs = 100;
  static constexpr size_t MAX_RUNNING_REG_ACTIONS = 500;
  static constexpr int ActionsPerTurn = 16;

  // How often an endpoint that has not told its versions is asked, and one that serves none of the
  // node's, in seconds.
  static constexpr time_t AskRetrySeconds = 1;
  static constexpr time_t AskAgainSeconds = 60;

  // The bearer header with the node's access token ("" when none is needed or held), and the token's
  // generation.
  std::string AuthHeader(uint64_t& generation);
  // A request outside the action queue carried a token that was refused: a new one is asked for.
  void TokenRefused();

private:
  Qel_auth::TOAuthClient* AuthClient();
  bool WaitsForToken();
  bool Send(uintptr_t id);
  void TokenArrived(bool ok);
  void Unauthorized(uintptr_t id, const std::string& name);
  void Deliver(uintptr_t id, uint64_t serial, int event);
  TNMOSAPIInfo* BestAPI();
  void AskDueVersions();
  void ArmAskTimer();
  void Ask(TNMOSAPIInfo& api);
  bool AskAnswered(uintptr_t request, int status, const char* body);
  void AskTold(TNMOSAPIInfo& api, const std::string& problem, bool usable);
  TNMOSAPIInfo* FindAPI(const std::string& addr, uint16_t port);
  void ActiveAPIGone();
  void ActionQueueProcess();
  void EraseMachine(std::map<std::string, TMachinePtr>::iterator it);

  uint32_t CycleTime = 0;
  TNMOSClientData* FData;
};

} // namespace Qel_nmos_bridge
