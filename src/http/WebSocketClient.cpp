#include "WebSocketClient.h"

#include "UTF8Check.h"

#include "Machine.h"
#include "helpers.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace Qel_websock_api {

using Qel_machine::TMachine;
using Qel_machine::TState;
using namespace std::chrono_literals;

namespace {

constexpr auto ConnectTimeout = 3s;
constexpr auto ReceiveWatchdog = 6s;
// While the server is unreachable a new attempt starts at most this often.
constexpr auto ReconnectPause = 1s;

int ProtoHandlerWebsocket(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);

const lws_protocols Protocols[] = {
    {"", ProtoHandlerWebsocket, 0, 262160, 0, nullptr, 0},
    {"WS-protocol", ProtoHandlerWebsocket, 0, 65536, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

const lws_extension Extensions[] = {
    {"permessage-deflate", lws_extension_callback_pm_deflate, "permessage-deflate"},
    {"deflate-frame", lws_extension_callback_pm_deflate, "deflate_frame"},
    {nullptr, nullptr, nullptr},
};

// The client TLS context of the CAs in a file (empty: the system's store), made once and kept for the
// process's life: TLS 1.2 at least, the peer's certificate checked (its host name the library checks on
// each connection). Null when it cannot be made. Only ever used on the service host's thread; the lock
// keeps the table whole in any case.
SSL_CTX* ClientTLSContext(const std::string& caFile) {
  struct TFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
  };
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<SSL_CTX, TFree>> contexts;
  std::lock_guard<std::mutex> guard(lock);
  auto it = contexts.find(caFile);
  if (it != contexts.end()) return it->second.get();
  std::unique_ptr<SSL_CTX, TFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  const bool loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx.get()) == 1
                                     : SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) == 1;
  // Without its CAs no certificate is trusted: every connection fails, as it should.
  if (!loaded)
    lws_log(QLLL_ERR, "websocket TLS: the CAs of %s could not be read",
            caFile.empty() ? "the system's store" : caFile.c_str());
  return contexts.emplace(caFile, std::move(ctx)).first->second.get();
}

// Secure connections of the process being opened (all on the service host's thread).
int TLSHandshakes = 0;

// A ping after 1 s without traffic; no answer within 3 s hangs the connection up.
const lws_retry_bo_t IdlePolicy = {nullptr, 0, 0, 1, 3, 0};

// What a context's callbacks reach: its client while the client lives, nothing once it has gone. The
// link outlives the client while the context closes through the loop.
struct TContextLink {
  ILWSHandler* Handler = nullptr;
  lws_context* Context = nullptr; // cleared by libwebsockets once the context is freed
};

// Every callback of a client's context goes to the client, which the context's link names (connection
// objects are counted from their creation on, before any user data is attached).
int ProtoHandlerWebsocket(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
  if (reason >= LWS_CALLBACK_ADD_POLL_FD && reason <= LWS_CALLBACK_UNLOCK_POLL) return 0;
  lws_context* ctx = wsi ? lws_get_context(wsi) : nullptr;
  auto* link = ctx ? static_cast<TContextLink*>(lws_context_user(ctx)) : nullptr;
  if (!link || !link->Handler) return 0;
  return link->Handler->HandleLWSCallback(wsi, reason, lws_wsi_user(wsi), in, len);
}

// Closes a context on the service host's loop without turning the loop. A context on a foreign loop closes
// its handles through the loop, and libwebsockets closes some of the context's descriptors (its event pipe)
// once more from those close callbacks. Were anything opened in between, it could get one of those numbers
// and lose its descriptor. So the first destroy runs in the loop's check phase, whose close callbacks
// follow at once in the same turn, with no I/O callback in between. Once no handle of the context is left
// on the loop it is destroyed again, which frees it.
class TContextCloser {
public:
  static void Start(uv_loop_t* loop, std::unique_ptr<TContextLink> link) {
    auto* closer = new TContextCloser(std::move(link));
    uv_check_init(loop, &closer->Check);
    closer->Check.data = closer;
    uv_check_start(&closer->Check, [](uv_check_t* h) { static_cast<TContextCloser*>(h->data)->Turn(); });
  }

private:
  // Destroying a context whose handles have closed frees it; a few calls at most are ever needed.
  static constexpr int MaxDestroys = 4;
  static constexpr int MaxTurns = 1000;

  explicit TContextCloser(std::unique_ptr<TContextLink> link) : Link(std::move(link)) {}

  void Turn() {
    lws_context* ctx = Link->Context;
    if (ctx && (Destroys == 0 || (Destroys < MaxDestroys && !HandlesLeft(ctx)))) {
      ++Destroys;
      lws_context_destroy(ctx);
    }
    if (Link->Context && ++Turns < MaxTurns) return;
    if (Link->Context) {
      // Freeing it now could pull memory from under handles still on the loop: it is left as it is.
      lws_log(QLLL_ERR, "websocket context %p did not close", static_cast<void*>(Link->Context));
      Link.release();
    }
    uv_check_stop(&Check);
    uv_close(reinterpret_cast<uv_handle_t*>(&Check),
             [](uv_handle_t* h) { delete static_cast<TContextCloser*>(h->data); });
  }

  // The context's own handles (timers, idle) carry the context as their data and close only after
  // every connection of the context has closed.
  bool HandlesLeft(lws_context* ctx) const {
    struct TFind {
      void* Context;
      bool Found;
    } find{ctx, false};
    uv_walk(
        Check.loop,
        [](uv_handle_t* h, void* arg) {
          auto* f = static_cast<TFind*>(arg);
          if (h->data == f->Context) f->Found = true;
        },
        &find);
    return find.Found;
  }

  uv_check_t Check;
  std::unique_ptr<TContextLink> Link;
  int Destroys = 0;
  int Turns = 0;
};

} // namespace

// The connection machine's view of the client; its actions forward to the client.
struct TMachineCtrl {
  TWebSocketClient* Cli;

  static TWebSocketClient& Of(void* context) { return *static_cast<TMachineCtrl*>(context)->Cli; }

  static void EnterOffline(TMachine*, void* c) { Of(c).EnterOffline(); }
  static void HandleOffline(TMachine*, void* c) { Of(c).RunOffline(); }
  static void DoConnect(TMachine*, void* c) { Of(c).Connect(); }
  static void OnShutdown(TMachine*, void* c) { Of(c).Shutdown(); }
  static void EnterConnecting(TMachine*, void* c) { Of(c).EnterConnecting(); }
  static void HandleConnecting(TMachine*, void* c) { Of(c).RunConnecting(); }
  static void DoConSuccess(TMachine*, void* c) { Of(c).Connected(); }
  static void HandleConnected(TMachine*, void* c) { Of(c).RunConnected(); }
  static void DoConBroken(TMachine*, void* c) { Of(c).Disconnected(); }
};

namespace {

constexpr TState WSClientStates[] = {
    {"fwsOffline",
     fwsOffline,
     TMachineCtrl::EnterOffline,
     nullptr,
     TMachineCtrl::HandleOffline,
     {{"connect", fweConnect, fwsConnecting, TMachineCtrl::DoConnect},
      {"quit", fweQuit, fwsQuit, TMachineCtrl::OnShutdown}}},
    {"fwsConnecting",
     fwsConnecting,
     TMachineCtrl::EnterConnecting,
     nullptr,
     TMachineCtrl::HandleConnecting,
     {{"con_success", fweConnectSucces, fwsConnected, TMachineCtrl::DoConSuccess},
      {"con_failed", fweConnectFailed, fwsOffline, nullptr},
      {"con_failed", fweError, fwsOffline, nullptr},
      {"quit", fweQuit, fwsQuit, TMachineCtrl::OnShutdown}}},
    {"fwsConnected",
     fwsConnected,
     nullptr,
     nullptr,
     TMachineCtrl::HandleConnected,
     {{"con_error", fweError, fwsOffline, TMachineCtrl::DoConBroken},
      {"quit", fweQuit, fwsQuit, TMachineCtrl::OnShutdown}}},
    {"fwsQuit", fwsQuit, nullptr, nullptr, nullptr, {}},
    {nullptr, Qel_machine::NO_STATEID, nullptr, nullptr, nullptr, {}},
};
static_assert(Qel_machine::TMachine::ValidTable(WSClientStates), "every transition leads to a state");

} // namespace

struct TWSData {
  TWSData(TWebSocketClient* cli, Qel_hosted::IServiceHost& host, const std::string& name)
      : ServiceHost(host), FName(name), ServiceInfo{FName.c_str(), Qel_hosted::sdtCyclic}, MachineCtrl{cli},
        Machine(&MachineCtrl, name, WSClientStates) {}

  std::deque<TTxBufferItem> Buffer;
  Qel_hosted::IServiceHost& ServiceHost;
  const std::string FName;
  const Qel_hosted::TServiceInfo ServiceInfo;
  std::unique_ptr<TContextLink> Link; // handed to a closer when the client shuts down
  lws* Socket = nullptr;              // written by libwebsockets through the connect request
  TMachineCtrl MachineCtrl;
  TMachine Machine;
  std::chrono::steady_clock::time_point Timeout{};     // connect deadline, then watchdog deadline
  std::chrono::steady_clock::time_point NextAttempt{}; // reconnect back-off
  uv_timer_t* RetryTimer = nullptr;                    // wakes the loop when the next attempt is due
  std::string Host;
  std::string Address; // where the connection goes when set, else Host
  uint16_t Port = 80;
  std::string URL;
  std::string WSProto;
  std::string HostHeader; // as sent in the upgrade request
  TWSClientTLS TLS;
  bool InHandshake = false;     // a secure connection is being opened: counted in TLSHandshakes
  bool ConnectDeferred = false; // the attempt waits for other secure handshakes to end
  uint32_t WSConnTimeout = 0;
  std::vector<unsigned char> WSInput; // the message being reassembled

  lws_context* Context() const { return Link ? Link->Context : nullptr; }
  bool InputBinary = false;
  bool InputStarted = false; // a message has begun and its last piece is still to come
  bool InputOverflow = false;
  TUTF8Check InputText; // the text message under way
  uint32_t Active = 0;
  bool AutoReconnect = false;
  bool ShuttingDown = false;
  std::atomic<bool> ResetRequested{false};
  uint64_t BytesReceived = 0, BytesSent = 0, MsgsReceived = 0, MsgsSent = 0;
  uint64_t MaxQueueSizeReached = 0; // messages refused because the queue was full
  uint64_t Superseded = 0;          // queued messages replaced by a newer one of the same key
  bool Refusing = false;            // the last message offered was refused
};

TWebSocketClient::TWebSocketClient(Qel_hosted::IServiceHost& host, const std::string& name,
                                   uint32_t connTimeout, bool autoReconnect, const TWSClientTLS& tls)
    : FData(std::make_unique<TWSData>(this, host, name)) {
  FData->TLS = tls;
  FData->WSConnTimeout = connTimeout;
  FData->AutoReconnect = autoReconnect;
  FData->RetryTimer = new uv_timer_t;
  uv_timer_init(host.Loop(), FData->RetryTimer);
  FData->RetryTimer->data = this;
  lws_log(QLLL_DEBUG, "Create WebSocketClient %p\n", static_cast<void*>(this));
  Startup();
}

TWebSocketClient::~TWebSocketClient() {
  Shutdown();
  uv_close(reinterpret_cast<uv_handle_t*>(FData->RetryTimer),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
  lws_log(QLLL_DEBUG, "Destroy WebSocketClient %p\n", static_cast<void*>(this));
}

void TWebSocketClient::Destroy() {
  delete this;
}

void TWebSocketClient::Startup() {
  FData->ServiceHost.Register(this);
  if (FData->Link) return;
  FData->Link = std::make_unique<TContextLink>();
  FData->Link->Handler = this;
  // A secure client makes its context when it first connects (see StartConnection).
  if (!FData->TLS.Enabled) CreateContext();
}

void TWebSocketClient::CreateContext() {
  void* loops[] = {FData->ServiceHost.Loop()};
  lws_context_creation_info info;
  memset(&info, 0, sizeof info);
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.protocols = GetProtoDef();
  info.extensions = Extensions;
  info.uid = -1;
  info.gid = -1;
  // Text is checked for UTF-8 here, not by the library: on a bad byte the library's client parser stops
  // taking a frame into its receive buffer without starting the buffer again, and writes the rest of
  // the frame past its end.
  info.options = LWS_SERVER_OPTION_LIBUV;
  info.foreign_loops = loops;
  info.pcontext = &FData->Link->Context;
  info.user = FData->Link.get();
  info.timeout_secs = 3;
  info.retry_and_idle_policy = &IdlePolicy;
  // The client TLS context is shared by every secure client of the same CAs: made and its CAs read once.
  if (FData->TLS.Enabled) {
    info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.provided_client_ssl_ctx = ClientTLSContext(FData->TLS.CAFile);
    if (!info.provided_client_ssl_ctx)
      lws_log(QLLL_ERR, "%s: no TLS context: secure websockets cannot be opened", Name().c_str());
  }
  FData->Link->Context = lws_create_context(&info);
  // What making the context left in OpenSSL's error queue would be read as the outcome of the next TLS
  // step on this thread, perhaps of another connection's handshake.
  if (FData->TLS.Enabled) ERR_clear_error();
  if (!FData->Link->Context) lws_log(QLLL_ERR, "%s: creating the websocket context failed", Name().c_str());
}

void TWebSocketClient::Shutdown() {
  if (FData->ShuttingDown) return;
  FData->ShuttingDown = true;
  FData->Machine.SetEvent(fweQuit);
  HandleShutdown();
  FData->ServiceHost.Unregister(this);
}

// The client may go at once: its context closes through the loop afterwards, and its callbacks reach
// nobody meanwhile.
void TWebSocketClient::HandleShutdown() {
  TWSData& d = *FData;
  d.Socket = nullptr;
  EndHandshake();
  if (!d.Link) return;
  d.Link->Handler = nullptr;
  if (d.Link->Context) {
    lws_log(QLLL_NOTICE, "QELNMOSBridgeWorker thread destroyed");
    TContextCloser::Start(d.ServiceHost.Loop(), std::move(d.Link));
  }
  d.Link.reset();
}

void TWebSocketClient::SetHost(const std::string& host, uint16_t port, const std::string& path,
                               const std::string& protocol) {
  FData->Host = host;
  FData->Port = port;
  FData->URL = path;
  FData->WSProto = protocol;
}

void TWebSocketClient::SetAddress(const std::string& address) {
  FData->Address = address;
}

void TWebSocketClient::ResetConnection() {
  FData->ResetRequested = true;
}

void TWebSocketClient::DoCycle() {
  if (FData->ResetRequested.exchange(false)) {
    int state = FData->Machine.GetStateID();
    if (state == fwsConnecting || state == fwsConnected) FData->Machine.SetEvent(fweError);
  }
  FData->Machine.Run(Qel_machine::NO_EVENTID);
}

const Qel_hosted::TServiceInfo& TWebSocketClient::GetInfo() {
  return FData->ServiceInfo;
}

TFWAPIStatus TWebSocketClient::GetStatus() const {
  return static_cast<TFWAPIStatus>(FData->Machine.GetStateID());
}

const std::string& TWebSocketClient::Name() const {
  return FData->Machine.Name();
}

size_t TWebSocketClient::QueueSize() const {
  return FData->Buffer.size();
}

const lws_protocols* TWebSocketClient::GetProtoDef() {
  return Protocols;
}

// --- connection machine actions ---

void TWebSocketClient::EnterOffline() {
  // A connection given up by us (reset, connect timeout, watchdog) is closed on the library's next turn;
  // its late callbacks are no longer ours.
  if (FData->Socket) lws_set_timeout(FData->Socket, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
  FData->Socket = nullptr;
  FData->ConnectDeferred = false;
  EndHandshake();
  FData->WSInput.clear();
  FData->InputOverflow = false;
  FData->InputStarted = false;
}

void TWebSocketClient::RunOffline() {
  if (FData->AutoReconnect && Now() >= FData->NextAttempt) FData->Machine.SetEvent(fweConnect);
}

// The loop waits for up to half a second when nothing else is due; the next attempt must not wait for
// that as well: a timer wakes the loop when it is due (a server that comes up is reached within the
// pause, not up to half a second later).
void TWebSocketClient::WakeForNextAttempt() {
  TWSData& d = *FData;
  if (d.ShuttingDown) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(d.NextAttempt - Now()).count();
  if (left <= 0) return; // due: the cycle after this loop turn makes the attempt
  uv_timer_start(
      d.RetryTimer, [](uv_timer_t* t) { static_cast<TWebSocketClient*>(t->data)->WakeForNextAttempt(); },
      static_cast<uint64_t>(left), 0);
}

void TWebSocketClient::Connect() {
  TWSData& d = *FData;
  d.NextAttempt = Now() + ReconnectPause;
  WakeForNextAttempt();
  if (d.Socket || !HandleBeginConnect(this)) return;
  StartConnection();
}

// A context made with TLS has the library set up OpenSSL afresh, which loses the library's link from
// the TLS sessions under way to their connections: a handshake of another client under way then fails.
// So a secure client makes its context only while no secure handshake is under way, and waits (within
// its connect time) otherwise.
void TWebSocketClient::StartConnection() {
  TWSData& d = *FData;
  d.ConnectDeferred = false;
  if (d.TLS.Enabled && d.Link && !d.Link->Context) {
    if (TLSHandshakes > 0) {
      d.ConnectDeferred = true;
      return;
    }
    CreateContext();
  }
  if (!d.Context()) return; // logged when it was made; the attempt times out
  lws_client_connect_info ci;
  memset(&ci, 0, sizeof ci);
  ci.context = d.Context();
  // The library checks the certificate against ci.host (its port left out) and sends it as SNI.
  ci.address = d.Address.empty() ? d.Host.c_str() : d.Address.c_str();
  ci.port = d.Port;
  // Over TLS the server's certificate must chain to a trusted CA and name the host (neither check is
  // skipped).
  ci.ssl_connection = d.TLS.Enabled ? LCCSCF_USE_SSL : 0;
  ci.path = d.URL.c_str();
  // The Host header names the port unless it is the default one (RFC 6455 4.1, RFC 7230 5.4).
  d.HostHeader = d.Port == (d.TLS.Enabled ? 443 : 80) ? d.Host : d.Host + ":" + std::to_string(d.Port);
  ci.host = d.HostHeader.c_str();
  ci.origin = d.HostHeader.c_str();
  // Without a subprotocol none is asked for; the connection uses the first, nameless, protocol.
  ci.protocol = d.WSProto.empty() ? nullptr : d.WSProto.c_str();
  ci.local_protocol_name = d.WSProto.c_str();
  ci.userdata = static_cast<ILWSHandler*>(this);
  ci.pwsi = &d.Socket;
  ci.retry_and_idle_policy = &IdlePolicy;
  lws_log(QLLL_NOTICE, "%s connecting %s:%d%s%s%s", Name().c_str(), d.Host.c_str(), d.Port, d.URL.c_str(),
          d.Address.empty() ? "" : " at ", d.Address.c_str());
  if (d.TLS.Enabled && !d.InHandshake) {
    d.InHandshake = true;
    ++TLSHandshakes;
  }
  lws_client_connect_via_info(&ci); // success and failure arrive as callbacks
}

void TWebSocketClient::EndHandshake() {
  if (!FData->InHandshake) return;
  FData->InHandshake = false;
  --TLSHandshakes;
}

void TWebSocketClient::EnterConnecting() {
  FData->Timeout = Now() + ConnectTimeout;
}

void TWebSocketClient::RunConnecting() {
  if (FData->ConnectDeferred) StartConnection();
  if (FData->Timeout < Now()) ConnectFailed();
}

void TWebSocketClient::ConnectFailed() {
  lws_log(QLLL_NOTICE, "%s connect failed", Name().c_str());
  HandleConnectFailed(this);
  FData->Machine.SetEvent(fweConnectFailed);
}

void TWebSocketClient::Connected() {
  EndHandshake();
  FData->Timeout = Now() + ReceiveWatchdog;
  lws_log(QLLL_NOTICE, "%s connected", Name().c_str());
  HandleConnected(this);
  RequestWrite();
}

void TWebSocketClient::RunConnected() {
  if (FData->WSConnTimeout != 0 && FData->Timeout < Now()) Disconnected();
}

void TWebSocketClient::Disconnected() {
  lws_log(QLLL_NOTICE, "%s disconnected", Name().c_str());
  HandleDisconnected(this);
}

// --- libwebsockets callbacks ---

bool TWebSocketClient::IsCurrent(lws* wsi) const {
  return wsi && wsi == FData->Socket;
}

// An error or close of the connection under way (libwebsockets may have cleared Socket already);
// callbacks of connections given up earlier are ignored.
void TWebSocketClient::OnConnectionLost(lws* wsi) {
  if (FData->Socket && !IsCurrent(wsi)) return;
  FData->Socket = nullptr;
  int state = FData->Machine.GetStateID();
  if (state == fwsConnecting || state == fwsConnected) FData->Machine.SetEvent(fweError);
}

int TWebSocketClient::HandleLWSCallback(lws* wsi, int reason, void* user, void* in, size_t len) {
  const char* name = Name().c_str();
  Qel_proto_http::LogHandler(name, wsi, reason, user, in, len);
  switch (reason) {
  case LWS_CALLBACK_ESTABLISHED:
    lws_log(QLLL_CLIENT, "%s::ESTABLISHED Session", name);
    return 0;
  case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
    lws_log(QLLL_ERR, "%s::LWS_CALLBACK_CLIENT_CONNECTION_ERROR: %.*s", name, in ? static_cast<int>(len) : 0,
            in ? static_cast<const char*>(in) : "");
    OnConnectionLost(wsi);
    return 0;
  case LWS_CALLBACK_CLIENT_ESTABLISHED:
    lws_log(QLLL_CLIENT, "%s::LWS_CALLBACK_CLIENT_ESTABLISHED", name);
    if (IsCurrent(wsi)) FData->Machine.SetEvent(fweConnectSucces);
    return 0;
  case LWS_CALLBACK_CLOSED:
  case LWS_CALLBACK_CLIENT_CLOSED:
    lws_log(QLLL_CLIENT, "%s::CLOSED Session", name);
    OnConnectionLost(wsi);
    return 0;
  case LWS_CALLBACK_CLIENT_RECEIVE:
    if (!IsCurrent(wsi)) return 0;
    return OnClientReceive(wsi, in, len);
  case LWS_CALLBACK_CLIENT_WRITEABLE:
    if (!IsCurrent(wsi)) return 0;
    return OnCanWrite();
  case LWS_CALLBACK_WSI_CREATE:
    ++FData->Active;
    lws_log(QLLL_LWSHANDLER, "%s Active(%u)", name, FData->Active);
    return 0;
  case LWS_CALLBACK_WSI_DESTROY:
    if (FData->Active) --FData->Active;
    if (IsCurrent(wsi)) OnConnectionLost(wsi);
    lws_log(QLLL_LWSHANDLER, "%s Active(%u)", name, FData->Active);
    return 0;
  case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE: {
    int code = 0;
    if (in && len >= 2) code = ntohs(*static_cast<const uint16_t*>(in));
    lws_log(QLLL_CLIENT, "%s::LWS_CALLBACK_WS_PEER_INITIATED_CLOSE Reason (%d)", name, code);
    return 0;
  }
  case LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP:
    lws_log(QLLL_CLIENT, "%s::LWS_CALLBACK_ESTABLISHED_CLIENT_HTTP", name);
    return 0;
  case LWS_CALLBACK_CLOSED_CLIENT_HTTP:
    lws_log(QLLL_CLIENT, "%s::LWS_CALLBACK_CLOSED_CLIENT_HTTP", name);
    return 0;
  case LWS_CALLBACK_RECEIVE_CLIENT_HTTP:
    lws_log(QLLL_CLIENT, "%s::LWS_CALLBACK_RECEIVE_CLIENT_HTTP", name);
    return 0;
  default:
    lws_log(QLLL_CLIENT, "%s::LWS_callback_%d", name, reason);
    return 0;
  }
}

// A message may come in pieces: frames split by the receive buffer, by the inflater of a compressed
// message and continuation frames. Every piece is traffic from the peer: it proves the connection as
// a pong would (a long message holds the peer's pong back behind it), and restarts the watchdog.
int TWebSocketClient::OnClientReceive(lws* wsi, const void* in, size_t len) {
  TWSData& d = *FData;
  lws_validity_confirmed(wsi);
  const bool last = lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0;
  const bool first = !d.InputStarted;
  if (first) d.InputBinary = lws_frame_is_binary(wsi) != 0;
  d.InputStarted = !last;
  d.BytesReceived += len;
  d.Timeout = Now() + ReceiveWatchdog;
  if (last) ++d.MsgsReceived;
  if (first) d.InputText.Reset();
  if (!d.InputBinary && (!d.InputText.Feed(in, len) || (last && !d.InputText.Complete()))) {
    lws_log(QLLL_ERR, "%s: a text message that is not UTF-8: connection closed", Name().c_str());
    return GiveUp(wsi);
  }
  int result = 0;
  try {
    result = HandleReceivedPiece(in, len, first, last, d.InputBinary);
  } catch (const std::exception& e) {
    lws_log(QLLL_ERR, "%s: receive handler failed: %s", Name().c_str(), e.what());
    result = 1006;
  } catch (...) {
    lws_log(QLLL_ERR, "%s: receive handler failed", Name().c_str());
    result = 1006;
  }
  if (result) return GiveUp(wsi);
  if (last) RequestWrite();
  return 0;
}

// A connection whose input cannot be taken is closed on the library's next turn and given up at once:
// the rest of what it brings is not ours. The receive callback never asks the library to close: it
// would go on writing the frame under way past the end of its receive buffer.
int TWebSocketClient::GiveUp(lws* wsi) {
  lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
  FData->InputStarted = false;
  OnConnectionLost(wsi);
  return 0;
}

int TWebSocketClient::HandleReceivedPiece(const void* data, size_t len, bool first, bool last, bool binary) {
  TWSData& d = *FData;
  if (first && last) return OnReceive(data, len, binary);
  if (first) {
    d.WSInput.clear();
    d.InputOverflow = false;
  }
  if (!d.InputOverflow && d.WSInput.size() + len > MaxMessageSize) {
    d.InputOverflow = true;
    d.WSInput = std::vector<unsigned char>();
  }
  if (!d.InputOverflow && len) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    d.WSInput.insert(d.WSInput.end(), bytes, bytes + len);
  }
  if (!last) return 0;
  if (d.InputOverflow) {
    d.InputOverflow = false;
    lws_log(QLLL_ERR, "%s: message of more than %zu bytes dropped", Name().c_str(), MaxMessageSize);
    return 0;
  }
  std::vector<unsigned char> message;
  message.swap(d.WSInput);
  return OnReceive(message.data(), message.size(), binary);
}

int TWebSocketClient::OnReceive(const void* data, size_t len, bool binary) {
  const int n = static_cast<int>(len);
  return binary ? HandleReceivedBinary(this, data, n) : HandleReceivedText(this, data, n);
}

int TWebSocketClient::OnCanWrite() {
  if (GetStatus() != fwsConnected) return 1000;
  int result = HandleCanWrite(this);
  RequestWrite();
  return result;
}

// A writeable callback is asked for only while messages wait: an idle connection must not keep the
// loop turning.
void TWebSocketClient::RequestWrite() {
  if (FData->Socket && !FData->Buffer.empty() && GetStatus() == fwsConnected)
    lws_callback_on_writable(FData->Socket);
}

// A message the connection refuses stays first in the queue for the next connection, and this one,
// which can no longer write, is given up.
int TWebSocketClient::HandleCanWrite(IWebSocketClient*) {
  TWSData& d = *FData;
  if (d.Buffer.empty()) return 0;
  TTxBufferItem item = std::move(d.Buffer.front());
  d.Buffer.pop_front();
  if (Send(item.Message(), item.Len()) < 0) {
    lws_log(QLLL_WARN, "%s: writing a message of %d bytes failed; it waits for the next connection",
            Name().c_str(), item.Len());
    d.Buffer.push_front(std::move(item));
    ResetConnection();
    return 0;
  }
  d.BytesSent += static_cast<uint64_t>(item.Len());
  ++d.MsgsSent;
  return 0;
}

int TWebSocketClient::Send(const void* data, int len) {
  if (!FData->Socket || len < 0) return -1;
  lws_log(QLLL_CLIENT, "%s::Sending %u %.*s", Name().c_str(), static_cast<unsigned>(len), len,
          static_cast<const char*>(data));
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  return lws_write(FData->Socket, bytes, static_cast<size_t>(len), LWS_WRITE_TEXT);
}

bool TWebSocketClient::BufferMessage(const TTxBufferItem& item) {
  TWSData& d = *FData;
  if (!item.Key().empty()) {
    auto queued = std::find_if(d.Buffer.begin(), d.Buffer.end(),
                               [&](const TTxBufferItem& waiting) { return waiting.Key() == item.Key(); });
    if (queued != d.Buffer.end()) {
      *queued = item;
      ++d.Superseded;
      return true;
    }
  }
  if (d.Buffer.size() >= MaxQueueSize) {
    ++d.MaxQueueSizeReached;
    // Once per run of refusals: the callers report each refusal themselves.
    if (!d.Refusing)
      lws_log(QLLL_ERR, "%s: the send queue is full (%zu messages): messages are refused", Name().c_str(),
              MaxQueueSize);
    d.Refusing = true;
    return false;
  }
  d.Refusing = false;
  d.Buffer.push_back(item);
  RequestWrite();
  return true;
}

void TWebSocketClient::UpdateStats(const char* name, json& stats) {
  const TWSData& d = *FData;
  stats[name] = {{"Cycletime", CycleTime >> 6},    {"BytesReceived", d.BytesReceived},
                 {"BytesSent", d.BytesSent},       {"MsgsReceived", d.MsgsReceived},
                 {"MsgsSent", d.MsgsSent},         {"TXQueueSize", d.Buffer.size()},
                 {"TXQueueSizeMax", MaxQueueSize}, {"TXQueueSizeReached", d.MaxQueueSizeReached},
                 {"TXSuperseded", d.Superseded}};
}

} // namespace Qel_websock_api
