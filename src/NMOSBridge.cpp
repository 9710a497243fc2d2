#include "NMOSBridge.h"
#include "SenderSDP.h"

#include "AES67FWClient.h"
#include "BridgeDocs.h"
#include "ConnectionActivations.h"
#include "FlowOwners.h"
#include "LLDPListener.h"
#include "MDNSBridge.h"
#include "Machine.h"
#include "NMOSBridgeStatus.h"
#include "NMOSNodeData.h"
#include "NMOSQueryClient.h"
#include "NMOSRegClient.h"
#include "RESTServer.h"
#include "SystemClient.h"
#include "helpers.h"

#include <uv.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>

namespace Qel_nmos_bridge {

using Qel_machine::TMachine;
using Qel_machine::TState;

namespace {

// Bits of the bridge's flag word, set by one thread and polled by the other.
enum : uint32_t { FlagTerminated = 1u << 0, FlagDumpData = 1u << 1 };

// Requests of the console keys that the worker carries out on its own thread.
enum : uint32_t { KeyRequestStats = 1u << 0, KeyRequestMachines = 1u << 1, KeyRequestResetFW = 1u << 2 };

// Blocks SIGINT in the calling thread for its lifetime. A thread started meanwhile inherits the mask, and
// so does every thread that one starts: SIGINT then only ever reaches the main thread.
class TSigintBlock {
public:
  TSigintBlock() {
    sigset_t sigint;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigint, &Previous);
  }
  ~TSigintBlock() { pthread_sigmask(SIG_SETMASK, &Previous, nullptr); }
  TSigintBlock(const TSigintBlock&) = delete;
  TSigintBlock& operator=(const TSigintBlock&) = delete;

private:
  sigset_t Previous;
};

const char* const HelpText =
    "q: quit\nd: Dump Database\nm: Dump machine states\nr: Reset AESFW connection\ns: Print Stats";

} // namespace

struct TBridgeControl {
  TQELNMOSBridge* Bridge;

  static void RunOff(TMachine* m, void*) { m->TMachine::SetEvent(ev_bridge_on); }
  static void RunOn(TMachine* m, void*) { m->TMachine::SetEvent(ev_bridge_start); }
  static void RunStartup(TMachine* m, void* ctx) {
    bool ok = static_cast<TBridgeControl*>(ctx)->Bridge->HandleStartup();
    m->TMachine::SetEvent(ok ? ev_bridge_succes : ev_bridge_error);
  }
  static void RunRunning(TMachine*, void* ctx) { static_cast<TBridgeControl*>(ctx)->Bridge->HandleRunning(); }
  static void RunShutdown(TMachine* m, void* ctx) {
    static_cast<TBridgeControl*>(ctx)->Bridge->HandleShutdown();
    m->TMachine::SetEvent(ev_bridge_succes);
  }
  static void RunError(TMachine* m, void* ctx) {
    bool retry = static_cast<TBridgeControl*>(ctx)->Bridge->HandleError();
    m->TMachine::SetEvent(retry ? ev_bridge_recover : ev_bridge_stop);
  }
};

namespace {

constexpr TState BridgeStates[] = {
    {"bridge_off",
     bridge_off,
     nullptr,
     nullptr,
     TBridgeControl::RunOff,
     {{"start", ev_bridge_on, bridge_on, nullptr}}},
    {"bridge_on",
     bridge_on,
     nullptr,
     nullptr,
     TBridgeControl::RunOn,
     {{"restart", ev_bridge_start, bridge_startup, nullptr},
      {"error", ev_bridge_error, bridge_error, nullptr},
      {"off", ev_bridge_stop, bridge_shutdown, nullptr}}},
    {"bridge_startup",
     bridge_startup,
     nullptr,
     nullptr,
     TBridgeControl::RunStartup,
     {{"error", ev_bridge_error, bridge_error, nullptr},
      {"off", ev_bridge_stop, bridge_shutdown, nullptr},
      {"success", ev_bridge_succes, bridge_running, nullptr}}},
    {"bridge_running",
     bridge_running,
     nullptr,
     nullptr,
     TBridgeControl::RunRunning,
     {{"error", ev_bridge_error, bridge_error, nullptr}, {"off", ev_bridge_stop, bridge_shutdown, nullptr}}},
    {"bridge_shutdown",
     bridge_shutdown,
     nullptr,
     nullptr,
     TBridgeControl::RunShutdown,
     {{"error", ev_bridge_error, bridge_error, nullptr}, {"success", ev_bridge_succes, bridge_end, nullptr}}},
    {"bridge_error",
     bridge_error,
     nullptr,
     nullptr,
     TBridgeControl::RunError,
     {{"recover", ev_bridge_recover, bridge_on, nullptr}, {"disable", ev_bridge_stop, bridge_end, nullptr}}},
    {"bridge_end", bridge_end, nullptr, nullptr, nullptr, {}},
    {nullptr, 0, nullptr, nullptr, nullptr, {}},
};
static_assert(TMachine::ValidTable(BridgeStates), "every transition leads to a state");

} // namespace

struct TQELNMOSBridgeData {
  explicit TQELNMOSBridgeData(TQELNMOSBridge* bridge)
      : BridgeControl{bridge}, Machine(&BridgeControl, "Bridge", BridgeStates) {}

  std::thread WWWThread;
  TBridgeControl BridgeControl;
  TMachine Machine;
  json Stats;
  // Terminated until the worker runs.
  std::atomic<uint32_t> GlobalOptionChanged{FlagTerminated};
  // Key requests from the main thread, carried out by the worker when the async handle fires.
  std::atomic<uint32_t> KeyRequests{0};
  uv_async_t* KeyAsync = nullptr;
  // Rebuilds the device's lists of senders and receivers once a loop turn, however many streams one
  // firmware document adds or removes.
  uv_timer_t* DeviceListTimer = nullptr;
  // Transport files of senders the node does not know, fetched when a receiver is connected to one.
  std::unique_ptr<TSenderSDPFetcher> SDPFetcher;
  // The sender that built each flow.
  TFlowOwners FlowOwners;
  // Connection API staging and scheduled activations (their timers run on the service loop).
  std::unique_ptr<IQELConnectionActivations, void (*)(IQELConnectionActivations*)> Activations{
      nullptr, [](IQELConnectionActivations* a) { a->Destroy(); }};
  // The IS-09 System API client (on the service loop).
  std::unique_ptr<IQELSystemClient, void (*)(IQELSystemClient*)> System{
      nullptr, [](IQELSystemClient* c) { c->Destroy(); }};
  // The switch port the served interface is attached to, learnt from LLDP (only with "/if").
  std::unique_ptr<ILLDPListener, void (*)(ILLDPListener*)> LLDP{nullptr,
                                                                [](ILLDPListener* l) { l->Destroy(); }};
  // The registration and firmware link as the status page shows them.
  std::unique_ptr<TBridgeStatus> Status;
};

IQELNMOSBridge* IQELNMOSBridge::Create(const IQELNMOSConfig* config) {
  return new TQELNMOSBridge(config, GetLWSSetup());
}

// Help and statistics are asked for at the console, so they go to standard output whatever the log
// level lets through.
void TQELNMOSBridge::PrintHelp() {
  printf("******** HELP *****\nQEL NMOS BRIDGE built %s %s\n%s\n", __DATE__, __TIME__, HelpText);
  fflush(stdout);
}

TQELNMOSBridge::TQELNMOSBridge(const IQELNMOSConfig* config, const TQELNMOS_LWSSetup& setup)
    : FBoxConfig(config), FData(new TQELNMOSBridgeData(this)),
      StartupTime(static_cast<time_t>(MonotonicSeconds())) {
  FServiceHost = Qel_hosted::IServiceHost::Self();
  NMOSNodeData = new TQELNMOSNodeData();
  NMOSRegClient = IQELNMOSRegClient::Create(this);
  NMOSQueryClient = IQELNMOSQueryClient::Create(this);
  NMOSRestServer = new TNMOSRestServer(this, setup);
  FWClient = new Qel_proto_aes67fw::TAES67FWClient(this);
  FData->System.reset(IQELSystemClient::Create(this));
  MDNSBridge = IQELMDNSBridge::Create(this);

  FData->KeyAsync = new uv_async_t;
  FData->KeyAsync->data = this;
  uv_async_init(FServiceHost->Loop(), FData->KeyAsync,
                [](uv_async_t* h) { static_cast<TQELNMOSBridge*>(h->data)->RunKeyRequests(); });
  // The firmware's own transport files are plain http on the device; other nodes' are checked as every
  // peer is (and a secure node takes them over https only, see the receivers).
  Qel_http::TTLSClientSettings tls;
  if (config) tls.CAFile = config->GetTLSCAFile();
  FData->SDPFetcher = std::make_unique<TSenderSDPFetcher>(FServiceHost->Loop(), tls, MDNSBridge);
  FData->Activations.reset(IQELConnectionActivations::Create(*this));
  FData->DeviceListTimer = new uv_timer_t;
  FData->DeviceListTimer->data = this;
  uv_timer_init(FServiceHost->Loop(), FData->DeviceListTimer);
  if (const char* ifname = config->GetBridgeInterface())
    FData->LLDP.reset(ILLDPListener::Create(*FServiceHost, ifname, [this] { AttachedDeviceChanged(); }));
  FData->Status = std::make_unique<TBridgeStatus>(FServiceHost->Loop(), *this);
}

json TQELNMOSBridge::StatusReport() {
  return FData->Status->Report();
}

// The names of other nodes' senders changed: receivers that follow them by name are built again from
// the firmware's last documents. Before the firmware's first configuration there are no receivers to
// refresh (an empty list would end them all).
void TQELNMOSBridge::RefreshReceivers() {
  const json& config = AESFWClient().GetLastConfig();
  if (!config.is_object() || !config.contains("rx-streams") || !config["rx-streams"].is_array()) return;
  UpdateReceivers(config["rx-streams"], AESFWClient().GetLastState());
}

IQELConnectionActivations& TQELNMOSBridge::Activations() {
  return *FData->Activations;
}

ILLDPListener* TQELNMOSBridge::LLDP() {
  return FData->LLDP.get();
}

TSenderSDPFetcher& TQELNMOSBridge::SDPFetcher() {
  return *FData->SDPFetcher;
}

TFlowOwners& TQELNMOSBridge::FlowOwners() {
  return FData->FlowOwners;
}

void TQELNMOSBridge::DeviceListsChanged() {
  if (uv_is_active(reinterpret_cast<uv_handle_t*>(FData->DeviceListTimer))) return;
  uv_timer_start(
      FData->DeviceListTimer,
      [](uv_timer_t* t) { static_cast<TQELNMOSBridge*>(t->data)->UpdateDevice(0, json()); }, 0, 0);
}

TQELNMOSBridge::~TQELNMOSBridge() {
  // The worker may still run when main() destroys a running bridge: end it before anything it uses.
  if (FData->WWWThread.joinable()) Cleanup();
  FData->Status.reset();
  FData->LLDP.reset();
  FData->SDPFetcher.reset();
  FData->Activations.reset();
  // Discovery calls into the registry and system clients: it goes first.
  MDNSBridge->Destroy();
  FData->System.reset();
  FWClient->Destroy();
  NMOSRegClient->Destroy();
  NMOSQueryClient->Destroy();
  NMOSNodeData->Destroy();
  NMOSRestServer->Destroy();
  uv_close(reinterpret_cast<uv_handle_t*>(FData->KeyAsync),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_async_t*>(h); });
  uv_close(reinterpret_cast<uv_handle_t*>(FData->DeviceListTimer),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
  FServiceHost->Destroy();
  delete FData;
}

IQELSystemClient& TQELNMOSBridge::SystemClient() {
  return *FData->System;
}

IQELNMOSRestServer& TQELNMOSBridge::RestSrv() {
  return *NMOSRestServer;
}
json& TQELNMOSBridge::GetStats() {
  return FData->Stats;
}

// A new bridge goes through to its start-up in its first poll: "bridge_off" and "bridge_on" only pass on,
// and waiting a poll in each put the first answer of the Node API two seconds after the start. After a
// failed start-up the bridge still takes a poll per state, so start-ups are tried two seconds apart.
bool TQELNMOSBridge::DoCycle() {
  uint32_t cycleTime = CycleTime.load(std::memory_order_relaxed);
  {
    TMeassureCycle measure(cycleTime);
    const bool fresh = FData->Machine.GetStateID() == bridge_off;
    FData->Machine.Run(Qel_machine::NO_EVENTID);
    if (fresh && FData->Machine.GetStateID() == bridge_on) FData->Machine.Run(Qel_machine::NO_EVENTID);
    if (fresh && FData->Machine.GetStateID() == bridge_startup) FData->Machine.Run(Qel_machine::NO_EVENTID);
  }
  CycleTime.store(cycleTime, std::memory_order_relaxed);
  return FData->Machine.GetStateID() != bridge_end;
}

void TQELNMOSBridge::Terminate() {
  FData->GlobalOptionChanged |= FlagTerminated;
}

bool TQELNMOSBridge::HandleStartup() {
  if (!RestSrv().InitService()) {
    lws_log(QLLL_ERR, "TQELNMOSBridge startup: call to lws_create_context() failed!");
    Cleanup();
    return false;
  }
  FData->GlobalOptionChanged &= ~FlagTerminated;
  try {
    TSigintBlock mainThreadOnly;
    FData->WWWThread = std::thread([this] { Execute(); });
  } catch (const std::exception&) {
    lws_log(QLLL_ERR, "TQELNMOSBridge startup: call to pthread_create() failed");
    Cleanup();
    return false;
  }
  lws_log(QLLL_NOTICE, "TQELNMOSBridge thread created");
  return true;
}

void TQELNMOSBridge::HandleRunning() {
  CntStartupTries = 0;
  if (kbhit()) {
    int key = getch();
    if (key >= 0) HandleKeyPress(static_cast<char>(key));
  }
}

void TQELNMOSBridge::HandleShutdown() {
  Cleanup();
}

bool TQELNMOSBridge::HandleError() {
  Cleanup();
  if (MaxStartupTries == 0) return true;
  return ++CntStartupTries < MaxStartupTries;
}

void TQELNMOSBridge::Cleanup() {
  Terminate();
  if (FData->WWWThread.joinable()) {
    FData->WWWThread.join();
    lws_log(QLLL_ERR, "QELNMOSBridgeWorker removed");
  }
  RestSrv().DeinitService();
}

void TQELNMOSBridge::Execute() {
  lws_log(QLLL_NOTICE, "QELNMOSBridgeWorker start");
  while (!(FData->GlobalOptionChanged & FlagTerminated)) {
    try {
      Serve();
    } catch (const char* e) {
      lws_log(QLLL_ERR, "QELNMOSBridgeWorker Error: %s", e);
    } catch (const std::exception& e) {
      lws_log(QLLL_ERR, "QELNMOSBridgeWorker Exception: %s", e.what());
    } catch (...) {
      lws_log(QLLL_ERR, "QELNMOSBridgeWorker unknown exception");
    }
  }
  lws_log(QLLL_NOTICE, "QELNMOSBridgeWorker terminated. cleanup..");
  RegClient().UnregisterNode();
  AESFWClient().Shutdown();
  QueryClient().Shutdown();
  lws_log(QLLL_NOTICE, "QELNMOSBridgeWorker cleanup finished");
}

void TQELNMOSBridge::Serve() {
  lws_log(QLLL_NOTICE, "QELNMOSBridgeWorker Serve()");
  int64_t lastSecond = MonotonicSeconds();
  while (!(FData->GlobalOptionChanged & FlagTerminated)) {
    const int64_t now = MonotonicSeconds();
    // A dump asked for at the console is written once, within a second.
    if (now != lastSecond) {
      lastSecond = now;
      if (FData->GlobalOptionChanged.fetch_and(~FlagDumpData) & FlagDumpData) Data().Dump();
    }
    ServiceHost().DoCycle();
  }
}

void TQELNMOSBridge::RunKeyRequests() {
  uint32_t requests = FData->KeyRequests.exchange(0);
  if (requests & KeyRequestStats) PrintStats();
  if (requests & KeyRequestMachines) {
    RegClient().AsBC().DumpStates();
    QueryClient().AsBC().DumpStates();
  }
  if (requests & KeyRequestResetFW) AESFWClient().ResetConnection();
}

// Keys that act on worker-owned objects are handed to the worker's loop.
int TQELNMOSBridge::RequestFromWorker(uint32_t request) {
  FData->KeyRequests |= request;
  uv_async_send(FData->KeyAsync);
  return 1;
}

int TQELNMOSBridge::HandleKeyPress(char key) {
  switch (key | 0x20) { // letters in either case
  case 'd':
    FData->GlobalOptionChanged ^= FlagDumpData;
    return 1;
  case 'h':
    PrintHelp();
    return 1;
  case 'q':
    fputs("\nESC key pressed. Exiting\n", stdout);
    fflush(stdout);
    FData->Machine.SetEvent(ev_bridge_stop);
    return 0;
  case 'm':
    return RequestFromWorker(KeyRequestMachines);
  case 'r':
    return RequestFromWorker(KeyRequestResetFW);
  case 's':
    return RequestFromWorker(KeyRequestStats);
  default:
    return 0;
  }
}

void TQELNMOSBridge::EndResource(const std::string& id, std::initializer_list<std::string> paths) {
  {
    TNodeDBWriteLocker lock(Data());
    for (const std::string& path : paths)
      if (!Data().Get(path.c_str()).is_null()) Data().Del(path.c_str());
  }
  // A scheduled activation of the resource ends with it.
  for (const std::string& path : paths)
    if (FData->Activations) FData->Activations->Forget(path);
  RegClient().AsBC().DelMachine(id);
}

bool TQELNMOSBridge::IdTakenElsewhere(const std::string& id, const std::string& path) {
  static const char* const collections[] = {"devices", "senders", "receivers", "sources", "flows"};
  TNodeDBReadLocker lock(Data());
  const json& root = Data().Root();
  const auto self = root.find("self");
  if (path != "/self" && self != root.end() && Text(*self, "id") == id) return true;
  for (const char* collection : collections) {
    const auto members = root.find(collection);
    if (members == root.end() || !members->is_object() || !members->contains(id)) continue;
    if (path != std::string("/") + collection + "/" + id) return true;
  }
  return false;
}

std::string TQELNMOSBridge::FormatUptime(long seconds) {
  char text[64];
  snprintf(text, sizeof text, "%d Days, %02d:%02d:%02ld", static_cast<int>(seconds / 86400),
           static_cast<int>(seconds % 86400 / 3600), static_cast<int>(seconds % 3600 / 60), seconds % 60);
  return text;
}

void TQELNMOSBridge::UpdateStats() {
  json& stats = FData->Stats;
  stats["Uptime"] = FormatUptime(static_cast<long>(MonotonicSeconds() - StartupTime));
  stats["Cycletime"] = CycleTime.load(std::memory_order_relaxed) >> 6;
  stats["AvahiPublisher_State"] = MDNS().GetState();
  Data().UpdateStats("Database", stats);
  ServiceHost().UpdateStats("HostedServices", stats);
  SystemClient().UpdateStats("System", stats);
}

void TQELNMOSBridge::PrintStats() {
  UpdateStats();
  printf("******** NMOS BRIDGE STATS ********\n%s\n", FData->Stats.dump(2).c_str());
  fflush(stdout);
}

} // namespace Qel_nmos_bridge
