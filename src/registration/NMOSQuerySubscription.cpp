#include "NMOSQuerySubscription.h"

#include "JsonText.h"
#include "NMOSNodeData.h"
#include "helpers.h"

#include <uriparser/Uri.h>

#include <cstdlib>

namespace Qel_nmos_bridge {

using Qel_websock_api::IWebSocketClient;

namespace {

std::string RangeText(const UriTextRangeA& range) {
  if (!range.first || !range.afterLast || range.afterLast < range.first) return "";
  return std::string(range.first, range.afterLast);
}

std::string Compact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

// The registry decides where the websocket of a subscription is: its path and query are taken as
// written in "ws_href".
bool SubscriptionTarget(const std::string& wsHref, bool secure, uint16_t defaultPort, std::string& host,
                        uint16_t& port, std::string& path) {
  UriUriA uri;
  const char* error = nullptr;
  if (uriParseSingleUriA(&uri, wsHref.c_str(), &error) != URI_SUCCESS) return false;
  const std::string scheme = RangeText(uri.scheme);
  host = RangeText(uri.hostText);
  const std::string portText = RangeText(uri.portText);
  std::string lowered = scheme;
  for (char& c : lowered)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  bool ok = lowered == (secure ? "wss" : "ws") && !host.empty();
  port = defaultPort;
  if (ok && !portText.empty()) {
    char* end = nullptr;
    const unsigned long value = strtoul(portText.c_str(), &end, 10);
    ok = end && *end == 0 && value > 0 && value <= 65535;
    port = static_cast<uint16_t>(value);
  }
  path.clear();
  for (UriPathSegmentA* segment = uri.pathHead; segment; segment = segment->next)
    path += "/" + RangeText(segment->text);
  if (path.empty()) path = "/";
  if (uri.query.first) path += "?" + RangeText(uri.query);
  uriFreeUriMembersA(&uri);
  return ok && port != 0;
}

static bool HostNamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// --- HTTP completion ---

void TNMOSRegSubscriptionCurlAdapter::OnCurlSuccess(void*, int Result, const char* Response) {
  const std::string body = Response ? Response : "";
  if (Result != 200 && Result != 201) {
    lws_log(QLLL_ERR, "HTTP Error %u : %s (%s)", static_cast<unsigned>(Result), body.c_str(),
            "OnCurlSuccess");
    Subscription.HandleRefused(Result, body.c_str());
    return;
  }
  json parsed;
  std::string why;
  if (!ParseJSONText(body, parsed, why)) {
    lws_log(QLLL_ERR, "TNMOSRegSubscriptionCurlAdapter: JSON parse error: %s JSON<%s>", why.c_str(),
            body.c_str());
    Subscription.HandleRefused(Result, body.c_str());
    return;
  }
  Subscription.HandleCurlSuccess(Result, parsed, body.c_str());
}

void TNMOSRegSubscriptionCurlAdapter::OnCurlError(void*, int Result, const char* Message) {
  Subscription.HandleCurlError(Result, Message);
}

// --- websocket adapter ---

TNMOSRegSubscriptionWSClientAdapter::TNMOSRegSubscriptionWSClientAdapter(
    TWSSubscription& subscription, Qel_hosted::IServiceHost& host, const std::string& name,
    const Qel_websock_api::TWSClientTLS& tls)
    : TWebSocketClient(host, name, 0, true, tls), Subscription(subscription) {}

bool TNMOSRegSubscriptionWSClientAdapter::HandleBeginConnect(IWebSocketClient* cli) {
  return Subscription.HandleBeginConnect(cli);
}
void TNMOSRegSubscriptionWSClientAdapter::HandleConnected(IWebSocketClient* cli) {
  Subscription.HandleConnected(cli);
}
void TNMOSRegSubscriptionWSClientAdapter::HandleConnectFailed(IWebSocketClient* cli) {
  Subscription.HandleConnectFailed(cli);
}
void TNMOSRegSubscriptionWSClientAdapter::HandleDisconnected(IWebSocketClient* cli) {
  Subscription.HandleDisconnected(cli);
}
int TNMOSRegSubscriptionWSClientAdapter::HandleReceivedBinary(IWebSocketClient* cli, const void* data,
                                                              int len) {
  return Subscription.HandleReceivedBinary(cli, data, len);
}
int TNMOSRegSubscriptionWSClientAdapter::HandleReceivedText(IWebSocketClient* cli, const void* data,
                                                            int len) {
  return Subscription.HandleReceivedText(cli, data, len);
}
int TNMOSRegSubscriptionWSClientAdapter::HandleCanWrite(IWebSocketClient* cli) {
  return Subscription.HandleCanWrite(cli);
}
int TNMOSRegSubscriptionWSClientAdapter::HandleReceivedPiece(const void* data, size_t len, bool first,
                                                             bool last, bool binary) {
  return Subscription.HandleReceivedPiece(data, len, first, last, binary);
}
int TNMOSRegSubscriptionWSClientAdapter::HandleLWSCallback(lws* wsi, int reason, void* user, void* in,
                                                           size_t len) {
  const Qel_websock_api::TFWAPIStatus before = GetStatus();
  if (reason == LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER && in) {
    // The upgrade request carries the node's access token as every other request does.
    const std::string line = Subscription.Owner().SubscriptionAuthorization();
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) {
      auto** p = static_cast<unsigned char**>(in);
      const std::string value = line.substr(colon + 2);
      if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>("authorization:"),
                                      reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(value.size()), p, *p + len))
        return -1;
    }
  }
  const int result = TWebSocketClient::HandleLWSCallback(wsi, reason, user, in, len);
  if (before == Qel_websock_api::fwsConnecting && GetStatus() == Qel_websock_api::fwsOffline)
    Subscription.HandleConnectFailed(this);
  return result;
}

// --- subscription ---

TWSSubscription::TWSSubscription(IQuerySubscriptionOwner& parent, const json& spec)
    : Parent(parent), CurlAdapt(*this, parent.SubscriptionHTTP()), Spec(spec),
      Reader(MaxQueryGrainBytes, [this](const std::string& topic, const TGrainItem& item) {
        Parent.QueryAPIGrainItem(this, topic, item);
      }) {
  lws_log(QLLL_DEBUG, "Subscription %p created", static_cast<void*>(this));
  Init();
}

TWSSubscription::~TWSSubscription() {
  Deinit();
  lws_log(QLLL_DEBUG, "Subscription %p destroyed", static_cast<void*>(this));
}

void TWSSubscription::Destroy() {
  Deinit();
  delete this;
}

const std::string& TWSSubscription::GetName() const {
  static const std::string none;
  return Spec.contains("resource_path") && Spec["resource_path"].is_string()
             ? Spec["resource_path"].get_ref<const std::string&>()
             : none;
}

void TWSSubscription::Init() {
  const TNMOSAPIInfo* api = Parent.SubscriptionAPI();
  if (!api || api->Version.empty()) return;
  const std::string url = api->BaseURL() + "/subscriptions";
  const std::string header = Parent.SubscriptionAuthorization();
  RequestRunning = Parent.SubscriptionHTTP().HTTP_Request(&CurlAdapt, url.c_str(), "POST", header.c_str(),
                                                          Compact(Spec).c_str(), this);
}

void TWSSubscription::Deinit() {
  // The subscriptions of this system are not persistent: the registry drops them with their websocket.
  const TNMOSAPIInfo* api = Parent.SubscriptionAPI();
  if (api && !api->Version.empty() && Spec.value("persist", false) && !ID.empty()) {
    const std::string url = api->BaseURL() + "/subscriptions/" + ID;
    Parent.SubscriptionHTTP().HTTP_Request(&CurlAdapt, url.c_str(), "DELETE",
                                           Parent.SubscriptionAuthorization().c_str(), "", nullptr);
  }
  // An answer still under way must not reach a subscription that has gone.
  if (RequestRunning) Parent.SubscriptionHTTP().Cancel(this);
  RequestRunning = false;
  WSAdapt.reset();
}

void TWSSubscription::SetHost(const std::string& host, uint16_t port, std::string path) {
  WSAdapt.reset();
  if (host.empty() || port == 0) return;
  // The websocket of a Query API reached over https is wss, checked as the API's certificate is.
  const TNMOSAPIInfo* api = Parent.SubscriptionAPI();
  Qel_websock_api::TWSClientTLS tls;
  tls.Enabled = api && api->Scheme == "https";
  tls.CAFile = Parent.SubscriptionCAFile();
  WSAdapt =
      std::make_unique<TNMOSRegSubscriptionWSClientAdapter>(*this, Parent.SubscriptionHost(), GetName(), tls);
  // A Query API defines no websocket subprotocol: none is asked for.
  WSAdapt->SetHost(host, port, path, "");
  // The registry names its websocket by the host name the Query API is reached by: the connection goes
  // to the address that name is pinned to.
  if (api && !api->Host.empty() && HostNamesEqual(host, api->Host)) WSAdapt->SetAddress(api->Addr);
}

void TWSSubscription::DoLowCycle() {
  if (WSAdapt) WSAdapt->DoLowCycle();
}

const Qel_websock_api::TWebSocketClient* TWSSubscription::GetWSAdapter() const {
  return WSAdapt.get();
}

void TWSSubscription::HandleCurlSuccess(int Result, const json& V, const char* Response) {
  RequestRunning = false;
  lws_log(QLLL_NOTICE, "Subscription %p HTTP RESULT %d, Data >>\n%s\n<<", static_cast<void*>(this), Result,
          Compact(V).c_str());
  const json id = V.is_object() ? V.value("id", json()) : json();
  const json href = V.is_object() ? V.value("ws_href", json()) : json();
  const TNMOSAPIInfo* api = Parent.SubscriptionAPI();
  std::string host, path;
  uint16_t port = 0;
  if (!id.is_string() || id.get<std::string>().empty() || !href.is_string() || !api ||
      !SubscriptionTarget(href.get<std::string>(), api->Scheme == "https", api->Port, host, port, path)) {
    lws_log(QLLL_ERR, "Subscription %p: the answer names no subscription id or websocket: %s",
            static_cast<void*>(this), Response ? Response : "");
    HandleRefused(Result, Response);
    return;
  }
  ID = id.get<std::string>();
  SetHost(host, port, path);
}

void TWSSubscription::HandleCurlError(int Result, const char* Message) {
  RequestRunning = false;
  // A certificate refused is said once for the Query API, not at every attempt.
  if (Qel_http::IsTLSFailure(Result))
    Parent.QueryAPITLSFailed(Message);
  else
    lws_log(QLLL_WARN, "Subscription %p Error %d (Message: %s)", static_cast<void*>(this), Result,
            Message ? Message : "");
  Parent.QueryAPIConnectFailed(this);
}

// A registry that does not give the subscription (or gives one without a websocket) has failed this
// client as much as one that cannot be reached: the client turns to another Query API.
void TWSSubscription::HandleRefused(int Result, const char* Response) {
  RequestRunning = false;
  lws_log(QLLL_WARN, "Subscription %p HTTP ERROR %d %s", static_cast<void*>(this), Result,
          Response ? Response : "");
  // The next attempt (at this Query API or another) goes with a new token.
  if (Result == 401) Parent.SubscriptionUnauthorized();
  WSAdapt.reset();
  Parent.QueryAPIConnectFailed(this);
}

bool TWSSubscription::HandleBeginConnect(IWebSocketClient*) {
  return !Ended;
}
void TWSSubscription::HandleConnected(IWebSocketClient*) {}
void TWSSubscription::HandleConnectFailed(IWebSocketClient*) {
  Ended = true;
  Parent.QueryAPIConnectFailed(this);
}
void TWSSubscription::HandleDisconnected(IWebSocketClient*) {
  Ended = true;
  Parent.QueryAPIConnectLost(this);
}
int TWSSubscription::HandleReceivedBinary(IWebSocketClient*, const void*, int) {
  return 0;
}
int TWSSubscription::HandleReceivedText(IWebSocketClient*, const void* data, int len) {
  return Parent.QueryAPIReceivedText(this, data, len);
}
int TWSSubscription::HandleCanWrite(IWebSocketClient*) {
  return 0;
}

int TWSSubscription::HandleReceivedPiece(const void* data, size_t len, bool first, bool last, bool binary) {
  if (Ended || binary) return 0;
  if (first) Reader.Restart(); // nothing of a message cut short before counts
  Reader.Feed(static_cast<const char*>(data), len);
  if (Reader.Bytes() > MaxQueryGrainBytes) {
    // The rest of it is never read: the subscription ends here and is made afresh.
    Ended = true;
    Parent.QueryAPIGrainTooBig(this);
    return 0;
  }
  if (last) Parent.QueryAPIGrainEnd(this, Reader, Reader.Finish());
  return 0;
}

} // namespace Qel_nmos_bridge
