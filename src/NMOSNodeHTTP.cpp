#include "NMOSNodeHTTP.h"

#include "NMOSBridge_API.h"
#include "helpers.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;

namespace {

const char* const NotFoundBody = "{\"code\" : 404, \"error\" : \"resource no found\", \"debug\" : \"\"}";
const char* const ServerName = "QEL_NMOS_BRIDGE";
// Response bodies go out in pieces of this size, one per writeable callback.
constexpr size_t TxChunk = 32 * 1024;

} // namespace

// The state of one HTTP transaction, owned by the connection's per-session record.
struct THTTPSession {
  std::string Body;          // request body collected so far
  bool BodyTooLarge = false; // the body passed MaxBodySize: it is dropped and the request answered 413
  bool Answered = false;     // this transaction's response has begun (a bodyless POST still completes a body)
  std::string Tx;            // LWS_PRE bytes of room, then the response body
  size_t TxPos = 0;          // next byte of Tx to send
};

// libwebsockets' per-connection user data (zeroed by the library, never constructed).
struct THTTPSessionData {
  THTTPSession* Session;

  THTTPSession& Get() {
    if (!Session) Session = new THTTPSession;
    return *Session;
  }
  void Free() {
    delete Session;
    Session = nullptr;
  }
};

struct TRESTHandlerEntry {
  ILWSRESTHandler* Context;
  const IRESTEndPointHandlerImpl* EndPointHandler;
};

struct TRESTServerData {
  explicit TRESTServerData(Qel_hosted::IServiceHost& host) : ServiceHost(host) {}
  Qel_hosted::IServiceHost& ServiceHost;
  lws_context* LWSContext = nullptr;
  const Qel_hosted::TServiceInfo ServiceInfo{"NMOSNODEHTTPServer", Qel_hosted::sdtEvents};
  std::map<std::string, TRESTHandlerEntry> HandlerEntries;
  uint64_t MsgsReceived = 0, MsgsHandled = 0, MsgsNoHandler = 0;
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

struct TMethodToken {
  THTTPMethod Method;
  lws_token_indexes Token;
};

const TMethodToken MethodTokens[] = {
    {HTTP_GET_URI, WSI_TOKEN_GET_URI},     {HTTP_POST_URI, WSI_TOKEN_POST_URI},
    {HTTP_PUT_URI, WSI_TOKEN_PUT_URI},     {HTTP_DELETE_URI, WSI_TOKEN_DELETE_URI},
    {HTTP_PATCH_URI, WSI_TOKEN_PATCH_URI},
};

bool HasToken(lws* wsi, lws_token_indexes token) {
  return lws_hdr_total_length(wsi, token) > 0;
}

// A request carries a body when it announces a length above zero or a transfer coding.
bool ExpectsBody(lws* wsi, long long* length) {
  char text[32] = {};
  *length = 0;
  if (lws_hdr_copy(wsi, text, sizeof text, WSI_TOKEN_HTTP_CONTENT_LENGTH) > 0) *length = atoll(text);
  return *length > 0 || HasToken(wsi, WSI_TOKEN_HTTP_TRANSFER_ENCODING);
}

std::string PeerAddress(lws* wsi) {
  char peer[256] = {};
  lws_get_peer_simple(wsi, peer, sizeof peer);
  return peer;
}

std::string StripTrailingSlashes(std::string url) {
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  return url;
}

int CompleteTransaction(lws* wsi) {
  return lws_http_transaction_completed(wsi) ? -1 : 0;
}

using THeaderList = std::vector<std::pair<std::string, std::string>>;

// Writes the status line and headers; the body follows from the writeable callbacks.
int Respond(lws* wsi, THTTPSessionData* psd, int status, const std::string& mime, const std::string& body,
            const THeaderList& extra = {}) {
  unsigned char buf[LWS_PRE + 2048];
  unsigned char* start = buf + LWS_PRE;
  unsigned char* p = start;
  unsigned char* end = buf + sizeof buf;
  auto add = [&](const char* name, const std::string& value) {
    return lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>(name),
                                       reinterpret_cast<const unsigned char*>(value.c_str()),
                                       static_cast<int>(value.size()), &p, end) == 0;
  };
  bool ok = lws_add_http_header_status(wsi, static_cast<unsigned int>(status), &p, end) == 0 &&
            add("Access-Control-Allow-Origin:", "*") &&
            add("Access-Control-Allow-Methods:", "GET, PUT, POST, HEAD, OPTIONS, DELETE") &&
            add("Access-Control-Allow-Headers:", "Content-Type, Accept") &&
            add("Access-Control-Max-Age:", "3600") && (mime.empty() || add("Content-type:", mime));
  for (const auto& [name, value] : extra)
    ok = ok && add((name + ":").c_str(), value);
  ok = ok && lws_add_http_header_content_length(wsi, body.size(), &p, end) == 0 &&
       lws_finalize_http_header(wsi, &p, end) == 0;
  if (!ok) return -1;
  psd->Get().Answered = true;
  if (lws_write(wsi, start, static_cast<size_t>(p - start), LWS_WRITE_HTTP_HEADERS) < 0) return -1;
  if (body.empty()) return CompleteTransaction(wsi);
  THTTPSession& session = psd->Get();
  session.Tx.assign(LWS_PRE, '\0');
  session.Tx += body;
  session.TxPos = LWS_PRE;
  lws_callback_on_writable(wsi);
  return 0;
}

// Sends the next piece of a pending body. The bytes before the piece were sent already, so
// libwebsockets may use them as its pre-padding.
int SendPendingBody(lws* wsi, THTTPSessionData* psd) {
  THTTPSession* session = psd->Session;
  if (!session || session->TxPos >= session->Tx.size()) return 0;
  size_t left = session->Tx.size() - session->TxPos;
  size_t n = left < TxChunk ? left : TxChunk;
  bool last = n == left;
  auto* data = reinterpret_cast<unsigned char*>(&session->Tx[session->TxPos]);
  if (lws_write(wsi, data, n, last ? LWS_WRITE_HTTP_FINAL : LWS_WRITE_HTTP) != static_cast<int>(n)) return -1;
  session->TxPos += n;
  if (!last) {
    lws_callback_on_writable(wsi);
    return 0;
  }
  session->Tx.clear();
  session->TxPos = 0;
  return CompleteTransaction(wsi);
}

int BadRequest(lws* wsi, THTTPSessionData* psd, const std::string& peer, const char* why) {
  lws_log(QLLL_ERR, "HTTP Client %s BAD request: %s", peer.c_str(), why);
  return Respond(wsi, psd, HTTP_STATUS_BAD_REQUEST, "", "");
}

} // namespace

TNMOSRestServer::TNMOSRestServer(IQELNMOSBridge* parent, const TQELNMOS_LWSSetup& setup)
    : Parent(parent), LWSSetup(setup), FData(new TRESTServerData(parent->ServiceHost())) {
  FData->ServiceHost.Register(this);
}

TNMOSRestServer::~TNMOSRestServer() {
  DeinitService();
  FData->ServiceHost.Unregister(this);
  delete FData;
}

const Qel_hosted::TServiceInfo& TNMOSRestServer::GetInfo() {
  return FData->ServiceInfo;
}

// The context runs on the worker's libuv loop, which dispatches its sockets; nothing to do per cycle.
void TNMOSRestServer::DoCycle() {}

bool TNMOSRestServer::InitService() {
  if (!LWSSetup.Validate()) return false;
  InitHTTPSrv();
  return FData->LWSContext != nullptr;
}

bool TNMOSRestServer::InitHTTPSrv() {
  if (FData->LWSContext) return true;
  const IQELNMOSConfig* config = Parent->BoxConfig();
  void* loops[] = {FData->ServiceHost.Loop()};
  lws_context_creation_info info;
  memset(&info, 0, sizeof info);
  info.port = config->GetBridgePort();
  info.iface = config->GetBridgeInterface();
  info.protocols = Protocols;
  info.user = static_cast<ILWSHandler*>(this);
  info.server_string = ServerName;
  info.gid = LWSSetup.gid;
  info.uid = LWSSetup.uid;
  info.max_http_header_pool = 16;
  info.options =
      static_cast<uint64_t>(LWSSetup.LWSOptions) | LWS_SERVER_OPTION_VALIDATE_UTF8 | LWS_SERVER_OPTION_LIBUV;
  info.foreign_loops = loops;
  info.timeout_secs = 5;
  if (LWSSetup.use_ssl) {
    info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.ssl_cert_filepath = LWSSetup.cert_path;
    info.ssl_private_key_filepath = LWSSetup.key_path;
    if (LWSSetup.ca_path[0]) info.ssl_ca_filepath = LWSSetup.ca_path;
    info.ssl_cipher_list =
        "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:"
        "ECDHE-RSA-AES256-SHA384:HIGH:!aNULL:!eNULL:!EXPORT:!DES:!MD5:!PSK:!RC4:!HMAC_SHA1:!SHA1:"
        "!DHE-RSA-AES128-GCM-SHA256:!DHE-RSA-AES128-SHA256:!AES128-GCM-SHA256:!AES128-SHA256:"
        "!DHE-RSA-AES256-SHA256:!AES256-GCM-SHA384:!AES256-SHA256";
  }
  FData->LWSContext = lws_create_context(&info);
  // On a foreign loop the context comes back even when its listening vhost failed (port taken). It
  // has already started to destroy itself then; let the loop finish that and count it as a failure.
  if (FData->LWSContext && !lws_get_vhost_by_name(FData->LWSContext, "default")) {
    lws_context* failed = FData->LWSContext;
    FData->LWSContext = nullptr;
    TurnLoopForClosingHandles();
    lws_context_destroy(failed); // frees what is left once the handles are closed
  }
  return FData->LWSContext != nullptr;
}

// A context on a foreign loop closes its handles through the loop. The worker is not running when
// the context comes or goes, so the loop is turned here until their close callbacks have run.
void TNMOSRestServer::TurnLoopForClosingHandles() {
  for (int i = 0; i < 16; ++i)
    uv_run(FData->ServiceHost.Loop(), UV_RUN_NOWAIT);
}

bool TNMOSRestServer::DeinitService() {
  if (FData->LWSContext) {
    // The first call closes the context's handles through the loop, the second frees the context.
    lws_context* context = FData->LWSContext;
    FData->LWSContext = nullptr;
    lws_context_destroy(context);
    TurnLoopForClosingHandles();
    lws_context_destroy(context);
    lws_log(QLLL_NOTICE, "QELNMOSBridgeWorker thread destroyed");
  }
  return FData->LWSContext == nullptr;
}

bool TNMOSRestServer::AddURLHandler(ILWSRESTHandler* handler, const TRESTHandler_Static_Def& def) {
  const TMultiURLHandlerData* routes = def.StaticData.MultiHandlerData;
  if (!routes) return true;
  for (const auto& [pattern, endpoint] : *routes) {
    std::string url = handler->AsVS().ResolveVars(pattern);
    auto [it, added] =
        FData->HandlerEntries.insert_or_assign(url, TRESTHandlerEntry{handler, endpoint.get()});
    (void)it;
    lws_log(QLLL_REST | QLLL_DEBUG, "NMOS REST API: %s handler for %s", added ? "added" : "replaced",
            url.c_str());
  }
  return true;
}

bool TNMOSRestServer::DelURLHandler(ILWSRESTHandler* handler) {
  bool removed = false;
  for (auto it = FData->HandlerEntries.begin(); it != FData->HandlerEntries.end();) {
    if (it->second.Context != handler) {
      ++it;
      continue;
    }
    lws_log(QLLL_REST | QLLL_DEBUG, "NMOS REST API: removed handler for %s", it->first.c_str());
    it = FData->HandlerEntries.erase(it);
    removed = true;
  }
  return removed;
}

bool TNMOSRestServer::HandleRequest(TRESTRequestData& request) {
  ++FData->MsgsReceived;
  auto it = FData->HandlerEntries.find(request.URI);
  if (it == FData->HandlerEntries.end()) {
    ++FData->MsgsNoHandler;
    return false;
  }
  bool handled = it->second.Context->HandleReqest(request, it->second.EndPointHandler);
  if (handled) ++FData->MsgsHandled;
  return handled;
}

int TNMOSRestServer::HandleHTTPRequest(lws* wsi, const char* client, const char* url,
                                       THTTPSessionData* session) {
  std::string uri = StripTrailingSlashes(url ? url : "");
  std::string body = session->Session ? std::move(session->Session->Body) : std::string();
  if (session->Session) session->Session->Body.clear();
  for (const TMethodToken& m : MethodTokens) {
    if (!HasToken(wsi, m.Token)) continue;
    TRESTRequestData request;
    request.Server = this;
    request.Client = client;
    request.Socket = wsi;
    request.Method = m.Method;
    request.URI = uri;
    request.PostData = body;
    if (HandleRequest(request))
      return Respond(wsi, session, request.Result.HTTPResult, request.Result.MimeType, request.Result.Body,
                     request.Result.Headers);
  }
  return Respond(wsi, session, HTTP_STATUS_NOT_FOUND, "application/json", NotFoundBody);
}

int TNMOSRestServer::HandleLWSCallback(lws* wsi, int reason, void* user, void* in, size_t len) {
  Qel_proto_http::LogHandler("HTTPSrv", wsi, reason, user, in, len);
  auto* psd = static_cast<THTTPSessionData*>(user);
  switch (reason) {
  case LWS_CALLBACK_HTTP: {
    psd->Get().Answered = false;
    long long length = 0;
    if (ExpectsBody(wsi, &length)) {
      if (length > static_cast<long long>(MaxBodySize)) return Respond(wsi, psd, 413, "", "");
      psd->Get().Body.clear();
      psd->Get().BodyTooLarge = false;
      return 0; // answered once the body is complete
    }
    std::string peer = PeerAddress(wsi);
    const char* url = static_cast<const char*>(in);
    if (!url || !len || !*url) return BadRequest(wsi, psd, peer, "URL with zero length not allowed");
    if (strstr(url, "..")) return BadRequest(wsi, psd, peer, "URL with '..' not allowed");
    return HandleHTTPRequest(wsi, peer.c_str(), url, psd);
  }
  case LWS_CALLBACK_HTTP_BODY: {
    THTTPSession& session = psd->Get();
    if (session.BodyTooLarge || session.Body.size() + len > MaxBodySize) {
      session.BodyTooLarge = true;
      session.Body.clear();
      return 0;
    }
    session.Body.append(static_cast<const char*>(in), len);
    return 0;
  }
  case LWS_CALLBACK_HTTP_BODY_COMPLETION: {
    if (psd->Session && psd->Session->Answered) return 0;
    if (psd->Session && psd->Session->BodyTooLarge) {
      psd->Session->BodyTooLarge = false;
      return Respond(wsi, psd, 413, "", "");
    }
    char url[1024] = {};
    bool found = false;
    for (const TMethodToken& m : MethodTokens)
      if (HasToken(wsi, m.Token)) {
        found = lws_hdr_copy(wsi, url, sizeof url, m.Token) >= 0;
        break;
      }
    if (!found) return -1;
    std::string peer = PeerAddress(wsi);
    if (!url[0]) return BadRequest(wsi, psd, peer, "URL with zero length not allowed");
    if (strstr(url, "..")) return BadRequest(wsi, psd, peer, "URL with '..' not allowed");
    return HandleHTTPRequest(wsi, peer.c_str(), url, psd);
  }
  case LWS_CALLBACK_HTTP_WRITEABLE:
    return SendPendingBody(wsi, psd);
  case LWS_CALLBACK_HTTP_FILE_COMPLETION:
    return CompleteTransaction(wsi);
  case LWS_CALLBACK_GET_THREAD_ID:
    return static_cast<int>(syscall(SYS_gettid));
  case LWS_CALLBACK_CLIENT_RECEIVE:
    lws_log(QLLL_ERR, "should not come here: from %s: %.*s", PeerAddress(wsi).c_str(), static_cast<int>(len),
            static_cast<const char*>(in));
    return 0;
  case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
  case LWS_CALLBACK_CLOSED_HTTP:
    if (psd) psd->Free();
    return 0;
  default:
    return 0;
  }
}

void TNMOSRestServer::UpdateStats(const char* name, json& stats) {
  stats[name] = {{"Cycletime", CycleTime >> 6},
                 {"RESTHandlers", FData->HandlerEntries.size()},
                 {"MsgsReceived", FData->MsgsReceived},
                 {"MsgsHandled", FData->MsgsHandled},
                 {"MsgsUnhandled", FData->MsgsReceived - FData->MsgsHandled - FData->MsgsNoHandler},
                 {"MsgsNoHandler", FData->MsgsNoHandler}};
}

} // namespace Qel_nmos_bridge
