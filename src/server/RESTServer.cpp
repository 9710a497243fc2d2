#include "RESTServer.h"

#include "APIRoutes.h"
#include "HTTPListener.h"
#include "HTTPRequestParser.h"
#include "HTTPResponse.h"
#include "NMOSBridge_API.h"
#include "NMOSNodeData.h"
#include "OAuthClient.h"
#include "RequestAuthorizer.h"
#include "ServerTLS.h"
#include "helpers.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;
using Qel_proto_http::THTTPRequest;
using Qel_proto_http::THTTPRequestParser;
using Qel_proto_http::THTTPResponse;

namespace {

const char* const NotFoundBody = "{\"code\" : 404, \"error\" : \"resource no found\", \"debug\" : \"\"}";
const char* const JSONMimeType = "application/json";
const char* const ServerName = "QEL_NMOS_BRIDGE";
const char* const LogBadRequest = "HTTP Client %s BAD request: %s";
const char* const LogRefused = "HTTP Client %s refused: %s";
const char* const ContinueLine = "HTTP/1.1 100 Continue\r\n\r\n";
// Responses of pipelined requests are gathered up to this size before they are written.
constexpr size_t OutHighWater = 256 * 1024;
// Requests read but not yet served beyond this size pause reading from the connection.
constexpr size_t InHighWater = 256 * 1024;
// Each read takes up to this much of a connection's input.
constexpr unsigned int ServiceBufferSize = 64 * 1024;
// A whole list response fits into the socket's send buffer, so it leaves in one system call.
constexpr int SendBufferSize = 256 * 1024;
// Clients the kernel keeps waiting while the server is full (capped by net.core.somaxconn).
constexpr int ListenBacklog = 4096;
// Clients taken in one turn of the loop: few, so that the connections taken already are read (and those
// their clients have closed are let go) before more come, and a flood does not hold the loop. Taking
// the whole queue at once let a burst of clients that close at once fill their address's share.
constexpr int AcceptsPerTurn = 8;
// Idle connections looked at for one that can be closed without losing anything.
constexpr int IdleCandidates = 32;
// Seconds between looks at the certificate files.
constexpr unsigned CertificateWatchMs = 2000;

} // namespace

// One client connection: its parser, the input not yet parsed and the output not yet written.
struct THTTPConnection {
  THTTPConnection(std::string peer, lws* wsi) : Peer(std::move(peer)), Wsi(wsi), Out(LWS_PRE, '\0') {}
  std::string Peer;
  lws* Wsi;
  THTTPRequestParser Parser{THTTPRequestParser::DefaultMaxHead, TNMOSRestServer::MaxBodySize};
  std::string In;
  std::string Out;          // LWS_PRE bytes of room, then the responses to send
  bool BodyStarted = false; // the current request's head is in, its body is coming
  bool Closing = false;     // nothing more is served; the connection ends once the output has gone
  bool Lingering = false;   // the output has gone and the sending side is shut; input is discarded
  bool Throttled = false;   // reading is paused until the pipelined requests read so far are served
  uint64_t Served = 0;      // requests answered
  bool Idle = false;        // kept open between requests, listed in IdleConnections
  std::list<THTTPConnection*>::iterator IdleEntry;
  bool Released = false; // no longer counted (closed, or closing to admit another client)
};

// libwebsockets' per-connection user data (zeroed by the library, never constructed).
struct THTTPSessionData {
  THTTPConnection* Conn;
};

struct TRESTServerData {
  explicit TRESTServerData(Qel_hosted::IServiceHost& host) : ServiceHost(host) {}
  Qel_hosted::IServiceHost& ServiceHost;
  lws_context* LWSContext = nullptr;
  const Qel_hosted::TServiceInfo ServiceInfo{"NMOSNODEHTTPServer", Qel_hosted::sdtEvents};
  const TRouteTable& Routes = APIRoutes();
  std::unique_ptr<Qel_proto_http::THTTPListener> Listener;
  lws_vhost* Vhost = nullptr;
  // The peer of the client being handed to libwebsockets (its adoption callback runs inside the call).
  const std::string* AdoptedPeer = nullptr;
  std::map<std::string, size_t> PeerConnections;
  // Connections kept open between requests, the one idle longest first.
  std::list<THTTPConnection*> IdleConnections;
  size_t Connections = 0, PeakConnections = 0;
  uint64_t MsgsReceived = 0, MsgsHandled = 0, MsgsNoHandler = 0, ConnectionsRefused = 0, BadRequests = 0;
  uint64_t IdleClosed = 0;
  // With certificates given every connection is TLS; the context's certificates are replaced on the fly.
  Qel_proto_http::IServerTLS* TLS = nullptr;
  std::string HSTS; // the Strict-Transport-Security value, empty: none
  bool TLSConfigured = false;
  std::string TLSError;
  std::unique_ptr<Qel_auth::TRequestAuthorizer> Authorizer;
  std::unique_ptr<Qel_auth::TOAuthClient> AuthClient; // after Authorizer: it uses its keys
};

namespace {

int ProtoHandlerNMOS_Request(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
  lws_context* ctx = lws_get_context(wsi);
  auto* handler = ctx ? static_cast<ILWSHandler*>(lws_context_user(ctx)) : nullptr;
  if (!handler) return 0;
  return handler->HandleLWSCallback(wsi, reason, user, in, len);
}

const lws_protocols Protocols[] = {
    {"", ProtoHandlerNMOS_Request, sizeof(THTTPSessionData), 0, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

struct TMethodName {
  const char* Name;
  THTTPMethod Method;
};

// HEAD is served as GET without the body.
const TMethodName Methods[] = {
    {"GET", HTTP_GET_URI}, {"HEAD", HTTP_GET_URI},      {"POST", HTTP_POST_URI},
    {"PUT", HTTP_PUT_URI}, {"DELETE", HTTP_DELETE_URI}, {"PATCH", HTTP_PATCH_URI},
};

const TMethodName* FindMethod(const std::string& name) {
  for (const TMethodName& m : Methods)
    if (name == m.Name) return &m;
  return nullptr;
}

std::string StripTrailingSlashes(std::string url) {
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  return url;
}

THTTPResponse ErrorResponse(int status, const std::string& debug = "") {
  THTTPResponse response;
  response.Status = status;
  response.MimeType = JSONMimeType;
  response.Body = Qel_proto_http::ErrorDocument(status, debug);
  return response;
}

} // namespace

TNMOSRestServer::TNMOSRestServer(IQELNMOSBridge* parent, const TQELNMOS_LWSSetup& setup)
    : Parent(parent), LWSSetup(setup), FData(new TRESTServerData(parent->ServiceHost())) {
  const IQELNMOSConfig* config = parent->BoxConfig();
  std::vector<std::string> apis;
  if (config && (config->GetProtectedAPIs() & ProtectNodeAPI)) apis.push_back("node");
  if (config && (config->GetProtectedAPIs() & ProtectConnectionAPI)) apis.push_back("connection");
  if (!apis.empty())
    FData->Authorizer = std::make_unique<Qel_auth::TRequestAuthorizer>(
        FData->ServiceHost.Loop(), std::move(apis), config->GetAuthServer(),
        [this] { return NodeIdentities(); });
  // A node that asks for tokens uses them too: its registration and queries carry its own. The
  // registry clients start it once they know a registry.
  if (FData->Authorizer)
    FData->AuthClient =
        std::make_unique<Qel_auth::TOAuthClient>(FData->ServiceHost.Loop(), FData->Authorizer->Server(),
                                                 config->GetAuthCredentialsFile(), "nmos-bridge node");
  if (FData->Authorizer) {
    Qel_http::TTLSClientSettings tls;
    tls.HTTPSOnly = config->Secure();
    tls.CAFile = config->GetTLSCAFile();
    FData->Authorizer->Server().SetTLS(tls);
    FData->AuthClient->SetTLS(tls);
  }
  FData->ServiceHost.Register(this);
}

Qel_auth::TRequestAuthorizer* TNMOSRestServer::Authorizer() {
  return FData->Authorizer.get();
}

Qel_auth::TOAuthClient* TNMOSRestServer::AuthClient() {
  return FData->AuthClient.get();
}

// The names and addresses an access token's audience may name this node by: its host name and the
// addresses of its API.
std::vector<std::string> TNMOSRestServer::NodeIdentities() {
  std::vector<std::string> ids;
  auto add = [&ids](const std::string& id) {
    if (!id.empty() && std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  };
  const json self = Parent->Data().Get("/self");
  if (self.is_object()) {
    if (self.contains("hostname") && self["hostname"].is_string()) {
      const std::string host = self["hostname"].get<std::string>();
      add(host);
      // A bare host name is known on the link by its multicast DNS name as well.
      if (!host.empty() && host.find('.') == std::string::npos) add(host + ".local");
    }
    if (self.contains("api") && self["api"].is_object() && self["api"].contains("endpoints") &&
        self["api"]["endpoints"].is_array())
      for (const json& endpoint : self["api"]["endpoints"])
        if (endpoint.is_object() && endpoint.contains("host") && endpoint["host"].is_string())
          add(endpoint["host"].get<std::string>());
  }
  add(Parent->BoxConfig()->GetBridgeAddress());
  return ids;
}

TNMOSRestServer::~TNMOSRestServer() {
  DeinitService();
  FData->ServiceHost.Unregister(this);
  if (FData->TLS) FData->TLS->Destroy();
  delete FData;
}

const Qel_hosted::TServiceInfo& TNMOSRestServer::GetInfo() {
  return FData->ServiceInfo;
}

// The context runs on the worker's libuv loop, which dispatches its sockets; nothing to do per cycle.
void TNMOSRestServer::DoCycle() {}

bool TNMOSRestServer::InitService() {
  if (!LWSSetup.Validate()) return false;
  if (FData->Authorizer) FData->Authorizer->Start();
  InitHTTPSrv();
  return FData->LWSContext != nullptr;
}

bool TNMOSRestServer::InitHTTPSrv() {
  if (FData->LWSContext) return true;
  // The context (with its certificates) comes first: a server that cannot start never opens its port.
  if (!CreateContext()) return false;
  if (!OpenListener()) {
    DeinitService();
    return false;
  }
  FData->Listener->Resume();
  return true;
}

// The server listens itself, so that it can stop accepting while it is full and leave the clients
// waiting in the listen queue; libwebsockets gets each accepted connection to serve.
bool TNMOSRestServer::OpenListener() {
  const IQELNMOSConfig* config = Parent->BoxConfig();
  std::string address, error;
  if (config->GetBridgeInterface()) {
    address = config->GetBridgeAddress();
    if (address.empty() || address == "0.0.0.0") {
      lws_log(QLLL_ERR, "HTTP server: interface %s has no IPv4 address to listen on",
              config->GetBridgeInterface());
      return false;
    }
  }
  FData->Listener =
      std::make_unique<Qel_proto_http::THTTPListener>(FData->ServiceHost.Loop(), [this] { AcceptWaiting(); });
  if (!FData->Listener->Open(address, config->GetBridgePort(), ListenBacklog, error)) {
    lws_log(QLLL_ERR, "HTTP server cannot listen on %s port %u: %s",
            address.empty() ? "every address" : address.c_str(), config->GetBridgePort(), error.c_str());
    FData->Listener.reset();
    TurnLoopForClosingHandles();
    return false;
  }
  return true;
}

// The libwebsockets context that serves the accepted connections; false when it cannot be had.
bool TNMOSRestServer::CreateContext() {
  void* loops[] = {FData->ServiceHost.Loop()};
  lws_context_creation_info info;
  memset(&info, 0, sizeof info);
  info.port = CONTEXT_PORT_NO_LISTEN_SERVER;
  info.protocols = Protocols;
  info.user = static_cast<ILWSHandler*>(this);
  info.server_string = ServerName;
  info.gid = LWSSetup.gid;
  info.uid = LWSSetup.uid;
  // Accepted connections are raw sockets: the server reads HTTP/1.1 itself (pipelining, chunked
  // bodies, half-closed clients, limits and deadlines of its own).
  info.options =
      static_cast<uint64_t>(LWSSetup.LWSOptions) | LWS_SERVER_OPTION_VALIDATE_UTF8 | LWS_SERVER_OPTION_LIBUV;
  info.pt_serv_buf_size = ServiceBufferSize;
  info.foreign_loops = loops;
  info.timeout_secs = 5;
  if (Secure()) {
    // The vhost's SSL context is made without certificates; every pair goes in at
    // LWS_CALLBACK_OPENSSL_LOAD_EXTRA_SERVER_VERIFY_CERTS, read and checked beforehand.
    if (!FData->TLS)
      FData->TLS = Qel_proto_http::IServerTLS::Create(Parent->BoxConfig()->GetTLSCertificates());
    const uint32_t maxAge = Parent->BoxConfig()->GetHSTSMaxAge();
    FData->HSTS = maxAge ? "max-age=" + std::to_string(maxAge) : std::string();
    std::string error;
    if (!FData->TLS->Load(error)) {
      lws_log(QLLL_ERR, "HTTP server: %s", error.c_str());
      return false;
    }
    info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_CREATE_VHOST_SSL_CTX;
    info.ssl_cipher_list = Qel_proto_http::IServerTLS::TLS12Ciphers;
    info.tls1_3_plus_cipher_list = Qel_proto_http::IServerTLS::TLS13Ciphersuites;
    // The server speaks HTTP/1.1 only: a client that offers h2 by ALPN must not be told it may use it.
    info.alpn = "http/1.1";
    info.ssl_options_set = static_cast<long>(SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 |
                                             SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    FData->TLSConfigured = false;
    FData->TLSError.clear();
  }
  FData->LWSContext = lws_create_context(&info);
  FData->Vhost = FData->LWSContext ? lws_get_vhost_by_name(FData->LWSContext, "default") : nullptr;
  if (FData->Vhost && Secure() && !FData->TLSConfigured) {
    lws_log(QLLL_ERR, "HTTP server: TLS cannot be set up: %s",
            FData->TLSError.empty() ? "no SSL context" : FData->TLSError.c_str());
    FData->Vhost = nullptr;
    lws_context_destroy(FData->LWSContext);
    TurnLoopForClosingHandles();
    lws_context_destroy(FData->LWSContext);
    FData->LWSContext = nullptr;
    return false;
  }
  // On a foreign loop the context comes back even when its vhost failed. It has already started to
  // destroy itself then; let the loop finish that and count it as a failure.
  if (FData->LWSContext && !FData->Vhost) {
    lws_context* failed = FData->LWSContext;
    FData->LWSContext = nullptr;
    TurnLoopForClosingHandles();
    lws_context_destroy(failed); // frees what is left once the handles are closed
  }
  if (FData->LWSContext && Secure()) FData->TLS->Watch(FData->ServiceHost.Loop(), CertificateWatchMs);
  return FData->LWSContext != nullptr;
}

bool TNMOSRestServer::Secure() const {
  return Parent->BoxConfig()->Secure();
}

// A context on a foreign loop closes its handles through the loop. The worker is not running when
// the context comes or goes, so the loop is turned here until their close callbacks have run.
void TNMOSRestServer::TurnLoopForClosingHandles() {
  for (int i = 0; i < 16; ++i)
    uv_run(FData->ServiceHost.Loop(), UV_RUN_NOWAIT);
}

bool TNMOSRestServer::DeinitService() {
  if (FData->TLS) FData->TLS->StopWatch();
  if (FData->Listener) {
    FData->Listener.reset();
    TurnLoopForClosingHandles();
  }
  if (FData->LWSContext) {
    // The first call closes the context's handles through the loop, the second frees the context.
    lws_context* context = FData->LWSContext;
    FData->LWSContext = nullptr;
    FData->Vhost = nullptr;
    lws_context_destroy(context);
    TurnLoopForClosingHandles();
    lws_context_destroy(context);
    lws_log(QLLL_NOTICE, "QELNMOSBridgeWorker thread destroyed");
  }
  return FData->LWSContext == nullptr;
}

bool TNMOSRestServer::HandleRequest(TRESTRequestData& request) {
  bool routed = false;
  return Dispatch(request, routed);
}

bool TNMOSRestServer::Dispatch(TRESTRequestData& request, bool& routed) {
  ++FData->MsgsReceived;
  TRouteMatch match;
  routed = FData->Routes.Find(*Parent, request.URI, match);
  if (!routed) {
    ++FData->MsgsNoHandler;
    return false;
  }
  const bool handled = TRouteTable::Serve(*Parent, match, request);
  if (handled) ++FData->MsgsHandled;
  return handled;
}

// Takes the clients waiting in the listen queue while there is room. When the server is full it closes
// the connection idle longest (kept open between requests, nothing unread, nothing unsent) for each
// client that waits; with none of those, it stops accepting until a connection ends or becomes idle, and
// the clients wait in the listen queue. A client over its address's share is closed at once.
void TNMOSRestServer::AcceptWaiting() {
  Qel_proto_http::THTTPListener& listener = *FData->Listener;
  for (int taken = 0; taken < AcceptsPerTurn; ++taken) {
    THTTPConnection* victim = nullptr;
    if (FData->Connections >= MaxConnections && !(victim = IdleVictim())) {
      listener.Pause();
      return;
    }
    Qel_proto_http::TAcceptedClient client;
    if (!listener.Accept(client)) return;
    auto known = FData->PeerConnections.find(client.Peer);
    if (known != FData->PeerConnections.end() && known->second >= MaxConnectionsPerPeer) {
      ++FData->ConnectionsRefused;
      lws_log(QLLL_NOTICE, LogRefused, client.Peer.c_str(), "too many connections from this address");
      close(client.Fd);
      continue;
    }
    if (victim) CloseIdle(*victim);
    lws_sock_file_fd_type desc;
    desc.sockfd = client.Fd;
    FData->AdoptedPeer = &client.Peer;
    // libwebsockets closes the socket itself when it cannot take it.
    const auto type = static_cast<lws_adoption_type>(LWS_ADOPT_SOCKET | (Secure() ? LWS_ADOPT_ALLOW_SSL : 0));
    // The handshake starts here, and OpenSSL reads its outcome from the thread's error queue: what other
    // users of OpenSSL on this loop left there must not fail a sound handshake.
    ERR_clear_error();
    if (!lws_adopt_descriptor_vhost(FData->Vhost, type, desc, Protocols[0].name, nullptr)) {
      // Over TLS, typically a client whose hello offers only what the server refuses.
      char reason[160] = "";
      if (const unsigned long e = ERR_peek_last_error()) ERR_error_string_n(e, reason, sizeof reason);
      lws_log(QLLL_NOTICE, "HTTP Client %s: connection not taken%s%s", client.Peer.c_str(),
              *reason ? ": " : "", reason);
      ERR_clear_error();
    }
    FData->AdoptedPeer = nullptr;
  }
}

// The connection idle longest that can be closed without losing a request or a response.
THTTPConnection* TNMOSRestServer::IdleVictim() {
  int looked = 0;
  for (THTTPConnection* conn : FData->IdleConnections) {
    if (++looked > IdleCandidates) break;
    if (lws_send_pipe_choked(conn->Wsi)) continue;
    char byte;
    const ssize_t unread = recv(lws_get_socket_fd(conn->Wsi), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (unread > 0) continue; // a request is coming: it is no longer idle
    return conn;
  }
  return nullptr;
}

void TNMOSRestServer::CloseIdle(THTTPConnection& conn) {
  ++FData->IdleClosed;
  lws_log(QLLL_INFO, "HTTP Client %s: idle connection closed to admit another client", conn.Peer.c_str());
  SetIdle(conn, false);
  Unaccount(conn);
  conn.Closing = conn.Lingering = true;
  // Not inside a callback of that connection: it may be closed here and now.
  lws_set_timeout(conn.Wsi, PENDING_TIMEOUT_HTTP_KEEPALIVE_IDLE, LWS_TO_KILL_SYNC);
}

void TNMOSRestServer::SetIdle(THTTPConnection& conn, bool idle) {
  if (conn.Idle == idle) return;
  conn.Idle = idle;
  if (idle) {
    conn.IdleEntry = FData->IdleConnections.insert(FData->IdleConnections.end(), &conn);
    // A full server can admit a waiting client again, in place of this one.
    if (FData->Listener) FData->Listener->Resume();
  } else {
    FData->IdleConnections.erase(conn.IdleEntry);
  }
}

bool TNMOSRestServer::Accept(lws* wsi, THTTPSessionData* psd) {
  std::string peer;
  if (FData->AdoptedPeer) {
    peer = *FData->AdoptedPeer;
  } else {
    char text[128] = {};
    lws_get_peer_simple(wsi, text, sizeof text);
    peer = text;
  }
  ++FData->PeerConnections[peer];
  ++FData->Connections;
  FData->PeakConnections = std::max(FData->PeakConnections, FData->Connections);
  psd->Conn = new THTTPConnection(peer, wsi);
  const int fd = lws_get_socket_fd(wsi);
  int size = SendBufferSize, on = 1;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_KEEPALIVE_IDLE, IdleTimeout);
  return true;
}

void TNMOSRestServer::Unaccount(THTTPConnection& conn) {
  if (conn.Released) return;
  conn.Released = true;
  auto it = FData->PeerConnections.find(conn.Peer);
  if (it != FData->PeerConnections.end() && --it->second == 0) FData->PeerConnections.erase(it);
  --FData->Connections;
  // There is room again: clients waiting in the listen queue are taken.
  if (FData->Listener) FData->Listener->Resume();
}

void TNMOSRestServer::Release(THTTPSessionData* psd) {
  if (!psd || !psd->Conn) return;
  SetIdle(*psd->Conn, false);
  Unaccount(*psd->Conn);
  delete psd->Conn;
  psd->Conn = nullptr;
}

// Parses and answers every whole request in the connection's input, then writes all answers at once.
// A client that does not read its answers is not served further until they have gone out.
int TNMOSRestServer::ServeInput(lws* wsi, THTTPConnection& conn) {
  size_t pos = 0;
  while (!conn.Closing && pos < conn.In.size() && conn.Out.size() < OutHighWater) {
    size_t used = 0;
    THTTPRequestParser::TStatus status = conn.Parser.Feed(conn.In.data() + pos, conn.In.size() - pos, &used);
    pos += used;
    if (status == THTTPRequestParser::psNeedMore) {
      if (conn.Parser.AwaitingBody() && !conn.BodyStarted) {
        conn.BodyStarted = true;
        lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_CONTENT, BodyTimeout);
        if (conn.Parser.Request().ExpectContinue) conn.Out += ContinueLine;
      }
      continue;
    }
    if (status == THTTPRequestParser::psError) {
      ++FData->BadRequests;
      lws_log(QLLL_INFO, LogBadRequest, conn.Peer.c_str(), conn.Parser.ErrorText().c_str());
      THTTPResponse response = ErrorResponse(conn.Parser.ErrorStatus(), conn.Parser.ErrorText());
      response.Close = true;
      Qel_proto_http::AppendResponse(conn.Out, response);
      conn.Closing = true;
      break;
    }
    HandleHTTPRequest(wsi, conn);
    ++conn.Served;
    conn.Parser.Reset();
    conn.BodyStarted = false;
    lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_KEEPALIVE_IDLE, IdleTimeout);
  }
  conn.In.erase(0, pos);
  bool throttle = conn.In.size() > InHighWater;
  if (throttle != conn.Throttled && lws_rx_flow_control(wsi, throttle ? 0 : 1) == 0)
    conn.Throttled = throttle;
  if (conn.Out.size() > LWS_PRE) {
    auto* data = reinterpret_cast<unsigned char*>(&conn.Out[LWS_PRE]);
    // libwebsockets keeps what the socket does not take and sends it before reading again.
    if (lws_write(wsi, data, conn.Out.size() - LWS_PRE, LWS_WRITE_RAW) < 0) return -1;
    conn.Out.resize(LWS_PRE);
    if (conn.Out.capacity() > OutHighWater) conn.Out.shrink_to_fit();
  }
  if (conn.Closing) return Linger(wsi, conn);
  if (!conn.In.empty()) lws_callback_on_writable(wsi);
  SetIdle(conn, conn.Served > 0 && conn.In.empty() && conn.Parser.Idle());
  return 0;
}

// A connection that ends after its response (an error, "Connection: close") shuts its sending side
// once the response has gone and then drops what the client still sends until it closes too: closing
// at once would reset the connection while a client still sends a refused body, and the reset can
// destroy the response before the client has read it.
int TNMOSRestServer::Linger(lws* wsi, THTTPConnection& conn) {
  if (conn.Lingering) return 0;
  if (lws_send_pipe_choked(wsi)) {
    lws_callback_on_writable(wsi);
    return 0;
  }
  conn.Lingering = true;
  conn.In.clear();
  // Over TLS the client is told the end first (close_notify), so that it sees a clean end of the stream.
  if (SSL* ssl = static_cast<SSL*>(lws_get_ssl(wsi))) SSL_shutdown(ssl);
  if (shutdown(lws_get_socket_fd(wsi), SHUT_WR) != 0) return -1;
  lws_set_timeout(wsi, PENDING_TIMEOUT_CLOSE_SEND, LingerTimeout);
  return 0;
}

// Whether the request may be served; when not, the response is the refusal.
bool TNMOSRestServer::Authorize(const THTTPConnection& conn, const THTTPRequest& req,
                                THTTPResponse& response) {
  if (!FData->Authorizer) return true;
  Qel_auth::TAuthRequest auth;
  auth.Method = req.Method;
  auth.Path = req.Path;
  auth.Peer = conn.Peer;
  auth.AuthorizationGiven = req.HasAuthorization;
  auth.Authorization = req.Authorization;
  size_t start = 0;
  while (start <= req.Query.size()) {
    size_t end = req.Query.find('&', start);
    if (end == std::string::npos) end = req.Query.size();
    const std::string item = req.Query.substr(start, end - start);
    // One not decodable stays empty, and is refused as malformed.
    if (item.compare(0, 13, "access_token=") == 0 && ++auth.AccessTokens == 1 &&
        !Qel_proto_http::PercentDecode(item.substr(13), auth.AccessToken))
      auth.AccessToken.clear();
    start = end + 1;
  }
  Qel_auth::TAuthDecision decision = FData->Authorizer->Check(auth);
  if (decision.Allowed()) return true;
  response = ErrorResponse(decision.Status, decision.Debug);
  response.Headers = std::move(decision.Headers);
  return false;
}

void TNMOSRestServer::HandleHTTPRequest(lws* wsi, THTTPConnection& conn) {
  THTTPRequest& req = conn.Parser.Request();
  THTTPResponse response;
  const TMethodName* method = FindMethod(req.Method);
  const std::string uri = StripTrailingSlashes(req.Path);
  if (req.Path.find("..") != std::string::npos) {
    ++FData->BadRequests;
    lws_log(QLLL_ERR, LogBadRequest, conn.Peer.c_str(), "URL with '..' not allowed");
    response = ErrorResponse(400, "URL with '..' not allowed");
  } else if (req.Method == "OPTIONS") {
    // CORS preflight: every URL the node serves may be asked for; the answer is in the headers.
    TRouteMatch match;
    bool known = req.Path == "*" || FData->Routes.Find(*Parent, uri, match);
    response = known ? THTTPResponse() : ErrorResponse(404);
  } else if (!Authorize(conn, req, response)) {
    response.HeadOnly = req.Method == "HEAD";
  } else if (!method) {
    response = ErrorResponse(501, "method not supported");
  } else {
    TRESTRequestData request;
    request.Client = conn.Peer;
    request.Socket = wsi;
    request.Method = method->Method;
    request.URI = uri;
    request.PostData = std::move(req.Body);
    bool routed = false;
    if (Dispatch(request, routed)) {
      response.Status = request.Result.HTTPResult;
      response.MimeType = std::move(request.Result.MimeType);
      response.Body = std::move(request.Result.Body);
      response.Headers = std::move(request.Result.Headers);
      if (response.Status >= 400 && response.Body.empty()) response = ErrorResponse(response.Status);
    } else if (routed) {
      response = ErrorResponse(405, req.Method + " is not served here");
    } else {
      response.Status = 404;
      response.MimeType = JSONMimeType;
      response.Body = NotFoundBody;
    }
    response.HeadOnly = req.Method == "HEAD";
  }
  // The node speaks HTTP/1.1 only: a request to switch protocols is answered as a plain request and
  // the connection then ends, so that upgraded connections never pile up.
  response.Close = !req.KeepAlive || req.Upgrade;
  if (req.MinorVersion == 0 && !response.Close) response.Headers.emplace_back("Connection", "keep-alive");
  // Over TLS, browsers are told to reach the node by https only (for a year unless "/hsts" says otherwise).
  if (FData->TLS && !FData->HSTS.empty())
    response.Headers.emplace_back("Strict-Transport-Security", FData->HSTS);
  Qel_proto_http::AppendResponse(conn.Out, response);
  if (response.Close) conn.Closing = true;
}

int TNMOSRestServer::HandleLWSCallback(lws* wsi, int reason, void* user, void* in, size_t len) {
  Qel_proto_http::LogHandler("HTTPSrv", wsi, reason, user, in, len);
  auto* psd = static_cast<THTTPSessionData*>(user);
  switch (reason) {
  case LWS_CALLBACK_OPENSSL_LOAD_EXTRA_SERVER_VERIFY_CERTS:
    if (FData->TLS && user && !FData->TLSConfigured)
      FData->TLSConfigured = FData->TLS->Configure(static_cast<SSL_CTX*>(user), FData->TLSError);
    return 0;
  case LWS_CALLBACK_RAW_ADOPT:
    return psd && Accept(wsi, psd) ? 0 : -1;
  case LWS_CALLBACK_RAW_RX:
    if (!psd || !psd->Conn) return -1;
    if (psd->Conn->Closing) return 0;
    SetIdle(*psd->Conn, false);
    psd->Conn->In.append(static_cast<const char*>(in), len);
    return ServeInput(wsi, *psd->Conn);
  case LWS_CALLBACK_RAW_WRITEABLE:
    if (!psd || !psd->Conn) return -1;
    if (psd->Conn->Closing) return Linger(wsi, *psd->Conn);
    return ServeInput(wsi, *psd->Conn);
  case LWS_CALLBACK_RAW_CLOSE:
  case LWS_CALLBACK_RAW_SKT_DROP_PROTOCOL:
    Release(psd);
    return 0;
  case LWS_CALLBACK_GET_THREAD_ID:
    return static_cast<int>(syscall(SYS_gettid));
  case LWS_CALLBACK_CLIENT_RECEIVE:
    lws_log(QLLL_ERR, "should not come here: from %s: %.*s", psd && psd->Conn ? psd->Conn->Peer.c_str() : "",
            static_cast<int>(len), static_cast<const char*>(in));
    return 0;
  default:
    return 0;
  }
}

void TNMOSRestServer::UpdateStats(const char* name, json& stats) {
  stats[name] = {{"Cycletime", CycleTime >> 6},
                 {"RESTHandlers", FData->Routes.Size()},
                 {"MsgsReceived", FData->MsgsReceived},
                 {"MsgsHandled", FData->MsgsHandled},
                 {"MsgsUnhandled", FData->MsgsReceived - FData->MsgsHandled - FData->MsgsNoHandler},
                 {"MsgsNoHandler", FData->MsgsNoHandler},
                 {"Connections", FData->Connections},
                 {"PeakConnections", FData->PeakConnections},
                 {"IdleConnections", FData->IdleConnections.size()},
                 {"IdleConnectionsClosed", FData->IdleClosed},
                 {"ConnectionsRefused", FData->ConnectionsRefused},
                 {"BadRequests", FData->BadRequests}};
  if (FData->TLS) {
    stats[name]["CertificateReloads"] = FData->TLS->Reloads();
    stats[name]["CertificateReloadFailures"] = FData->TLS->ReloadFailures();
  }
  if (FData->Authorizer) FData->Authorizer->UpdateStats(stats[name]["Authorization"]);
  if (FData->AuthClient) FData->AuthClient->UpdateStats(stats[name]["Authorization"]["Client"]);
}

} // namespace Qel_nmos_bridge
