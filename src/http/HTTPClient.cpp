#include "HTTPClient.h"

#include "helpers.h"

#include <openssl/x509.h>

#include <cstdlib>

#include <algorithm>
#include <cctype>
#include <map>
#include <strings.h>
#include <vector>

namespace Qel_http {

const CLASSID CLSID_CURL_BASEREQUEST = "CURL_BASEREQUEST";
const CLASSID CLSID_CURL_HTTPREQUEST = "CURL_HTTPREQUEST";

namespace {

const int CurlLog = QLLL_CURL_BASE | QLLL_DEBUG;

} // namespace

struct THTTPClientData {
  explicit THTTPClientData(IQELCurlWrapperClient* owner) : Owner(owner) {
    curl_global_init(CURL_GLOBAL_ALL);
    CurlMHandle = curl_multi_init();
    // A burst of requests (a whole node registering) shares a few kept-alive connections per host
    // instead of opening one each and keeping them all.
    if (CurlMHandle) {
      curl_multi_setopt(CurlMHandle, CURLMOPT_MAX_HOST_CONNECTIONS, MaxConnectionsPerHost);
      curl_multi_setopt(CurlMHandle, CURLMOPT_MAXCONNECTS, MaxConnectionsPerHost);
    }
  }
  static constexpr long MaxConnectionsPerHost = 8;
  ~THTTPClientData() { curl_global_cleanup(); }
  IQELCurlWrapperClient* Owner;
  CURLM* CurlMHandle;
  bool Terminated = false;
  TTLSClientSettings TLS;
  // Pinned addresses by "host:port" (host in lower case).
  std::map<std::string, std::string> Pins;
  // The running requests by their easy handle; the client owns them until their completion.
  std::map<CURL*, std::unique_ptr<TCurlRequestInfo>> Running;
};

// --- requests ---

TCurlRequestInfo::TCurlRequestInfo(TQELCurlWrapper* owner, IQELCurlWrapperClient* caller)
    : Owner(owner), FHandle(curl_easy_init()), FCaller(caller), StartTime(time(nullptr)) {
  lws_log(CurlLog, "CURL_REQUEST %p created", static_cast<void*>(this));
}

TCurlRequestInfo::~TCurlRequestInfo() {
  if (FHandle) curl_easy_cleanup(FHandle);
  lws_log(CurlLog, "CURL_REQUEST %p destroyed", static_cast<void*>(this));
}

void* TCurlRequestInfo::As(const CLASSID& id) {
  return id == CLSID_CURL_BASEREQUEST ? this : nullptr;
}

const void* TCurlRequestInfo::As(const CLASSID& id) const {
  return id == CLSID_CURL_BASEREQUEST ? this : nullptr;
}

void TCurlRequestInfo::SetData(void* data) {
  UserData = data;
  lws_log(CurlLog, "CURL_REQUEST %p modified, Data = %p", static_cast<void*>(this), data);
}

time_t TCurlRequestInfo::Age() {
  return time(nullptr) - StartTime;
}

bool TCurlRequestInfo::Aborted() {
  return Owner->Terminated();
}

THTTPRequest::THTTPRequest(TQELCurlWrapper* owner, IQELCurlWrapperClient* caller, const char* url,
                           const char* method, const char* header, const char* data)
    : TCurlRequestInfo(owner, caller), URL(url ? url : ""), Method(method ? method : "GET"),
      Data(data ? data : "") {
  // Extra header lines, separated by CRLF; one of them may name another content type.
  std::vector<std::string> extra;
  bool ownType = false;
  for (std::string rest = header ? header : ""; !rest.empty();) {
    const size_t end = rest.find("\r\n");
    std::string line = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 2);
    if (line.empty() || line.find_first_of("\r\n") != std::string::npos) continue;
    if (strncasecmp(line.c_str(), "Content-Type:", 13) == 0) ownType = true;
    extra.push_back(std::move(line));
  }
  HeaderInfo = curl_slist_append(HeaderInfo, "Accept: application/json");
  HeaderInfo = curl_slist_append(HeaderInfo, "Expect:");
  if (!ownType)
    HeaderInfo =
        curl_slist_append(HeaderInfo, Data.empty() ? "Content-Type:" : "Content-Type: application/json");
  HeaderInfo = curl_slist_append(HeaderInfo, "User-Agent: qel-nmos-node");
  for (const std::string& line : extra)
    HeaderInfo = curl_slist_append(HeaderInfo, line.c_str());
}

THTTPRequest::~THTTPRequest() {
  curl_slist_free_all(HeaderInfo);
  curl_slist_free_all(ConnectTo);
}

void* THTTPRequest::As(const CLASSID& id) {
  return id == CLSID_CURL_HTTPREQUEST ? this : TCurlRequestInfo::As(id);
}

const void* THTTPRequest::As(const CLASSID& id) const {
  return id == CLSID_CURL_HTTPREQUEST ? this : TCurlRequestInfo::As(id);
}

// A peer that sends more than any registry answer or transport file needs ends its transfer.
size_t THTTPRequest::Write(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* result = static_cast<std::string*>(userdata);
  if (result->size() + size * nmemb > TQELCurlWrapper::MaxResponseSize) return 0;
  result->append(ptr, size * nmemb);
  return size * nmemb;
}

int THTTPRequest::Progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* request = static_cast<THTTPRequest*>(clientp);
  lws_log(QLLL_CURL_BASE | QLLL_DEBUG, "HTTP CANCEL %s", request->URL.c_str());
  return request->Aborted() ? 1 : 0;
}

// libcurl keeps the first failure of a transfer in its error text: when a kept-alive connection had
// broken and the request went out again on a new one, whose certificate was then refused, the text tells
// of the broken connection. A refused certificate is said as the check said it.
std::string THTTPRequest::Reason(CURLcode code) {
  const std::string text = ErrorText[0] ? std::string(ErrorText) : std::string(curl_easy_strerror(code));
  if (!IsTLSFailure(code) || text.compare(0, 3, "SSL") == 0) return text;
  long verify = X509_V_OK;
  if (curl_easy_getinfo(Handle(), CURLINFO_SSL_VERIFYRESULT, &verify) == CURLE_OK && verify != X509_V_OK &&
      verify != X509_V_ERR_UNSPECIFIED)
    return std::string("SSL certificate problem: ") + X509_verify_cert_error_string(verify);
  return text;
}

bool THTTPRequest::Prepare(const TTLSClientSettings& tls, const std::string& connectTo) {
  CURL* h = Handle();
  if (!h || !HeaderInfo) return false;
  if (!connectTo.empty()) {
    ConnectTo = curl_slist_append(nullptr, connectTo.c_str());
    if (!ConnectTo || curl_easy_setopt(h, CURLOPT_CONNECT_TO, ConnectTo) != CURLE_OK) return false;
  }
  bool ok = curl_easy_setopt(h, CURLOPT_TIMEOUT, TQELCurlWrapper::RequestTimeoutSeconds) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, Method.c_str()) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_PRIVATE, static_cast<TCurlRequestInfo*>(this)) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_HTTPHEADER, HeaderInfo) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &THTTPRequest::Write) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_WRITEDATA, &Result) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &THTTPRequest::Progress) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_XFERINFODATA, this) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_ERRORBUFFER, ErrorText) == CURLE_OK &&
            // HTTP(S) only (a secure node: https only), no signals from name lookups.
            curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, tls.HTTPSOnly ? "https" : "http,https") == CURLE_OK &&
            // Over https the peer proves who it is: its certificate chains to a CA the node trusts
            // and names the host of the URL (BCP-003-01: TLS 1.2 at least).
            curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            (tls.CAFile.empty() || curl_easy_setopt(h, CURLOPT_CAINFO, tls.CAFile.c_str()) == CURLE_OK) &&
            curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_URL, URL.c_str()) == CURLE_OK;
  // A POST without a body (a heartbeat) still says so: "Content-Length: 0", and no content type.
  if (ok && (!Data.empty() || Method == "POST")) {
    ok = curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(Data.size())) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_POSTFIELDS, Data.c_str()) == CURLE_OK;
  }
  return ok;
}

// --- the client ---

TQELCurlWrapper::TQELCurlWrapper(IQELCurlWrapperClient* owner) : FData(new THTTPClientData(owner)) {}

TQELCurlWrapper::~TQELCurlWrapper() {
  AbortAll();
  CleanupMulti();
  delete FData;
}

CURLM* TQELCurlWrapper::Multi() {
  return FData->CurlMHandle;
}

void TQELCurlWrapper::CleanupMulti() {
  if (!FData->CurlMHandle) return;
  curl_multi_cleanup(FData->CurlMHandle);
  FData->CurlMHandle = nullptr;
}

void TQELCurlWrapper::Terminate() {
  FData->Terminated = true;
  AbortAll();
}

bool TQELCurlWrapper::Terminated() {
  return FData->Terminated;
}

void TQELCurlWrapper::AbortAll() {
  auto running = std::move(FData->Running);
  FData->Running.clear();
  for (auto& [handle, request] : running)
    if (FData->CurlMHandle) curl_multi_remove_handle(FData->CurlMHandle, handle);
}

void TQELCurlWrapper::SetTLS(const TTLSClientSettings& settings) {
  FData->TLS = settings;
}

namespace {

std::string PinKey(const std::string& host, uint16_t port) {
  std::string key = host;
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
  return key + ":" + std::to_string(port);
}

} // namespace

void TQELCurlWrapper::Pin(const std::string& host, uint16_t port, const std::string& address) {
  if (host.empty() || address.empty()) return;
  FData->Pins[PinKey(host, port)] = address;
}

void TQELCurlWrapper::Unpin(const std::string& host, uint16_t port) {
  FData->Pins.erase(PinKey(host, port));
}

std::string ConnectToEntry(const std::string& host, uint16_t port, const std::string& address) {
  const std::string to = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  return host + ":" + std::to_string(port) + ":" + to + ":" + std::to_string(port);
}

bool URLHostPort(const std::string& url, std::string& host, uint16_t& port) {
  CURLU* u = curl_url();
  if (!u) return false;
  char* h = nullptr;
  char* p = nullptr;
  char* scheme = nullptr;
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            (std::string(scheme) == "http" || std::string(scheme) == "https") &&
            curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_PORT, &p, CURLU_DEFAULT_PORT) == CURLUE_OK;
  if (ok) {
    const long n = std::strtol(p, nullptr, 10);
    ok = n > 0 && n <= 65535;
    host = h;
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    port = static_cast<uint16_t>(n);
  }
  curl_free(scheme);
  curl_free(h);
  curl_free(p);
  curl_url_cleanup(u);
  return ok;
}

bool IsTLSFailure(int curlCode) {
  switch (curlCode) {
  case CURLE_SSL_CONNECT_ERROR:
  case CURLE_SSL_CERTPROBLEM:
  case CURLE_SSL_CIPHER:
  case CURLE_PEER_FAILED_VERIFICATION:
  case CURLE_SSL_CACERT_BADFILE:
  case CURLE_SSL_SHUTDOWN_FAILED:
  case CURLE_SSL_CRL_BADFILE:
  case CURLE_SSL_ISSUER_ERROR:
  case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
  case CURLE_SSL_INVALIDCERTSTATUS:
    return true;
  default:
    return false;
  }
}

bool TQELCurlWrapper::Cancel(void* Userdata) {
  for (auto it = FData->Running.begin(); it != FData->Running.end(); ++it) {
    if (it->second->GetData() != Userdata) continue;
    CURL* handle = it->first;
    auto request = std::move(it->second);
    FData->Running.erase(it);
    if (FData->CurlMHandle) curl_multi_remove_handle(FData->CurlMHandle, handle);
    return true;
  }
  return false;
}

bool TQELCurlWrapper::HTTP_Request(IQELCurlWrapperClient* Handler, const char* URL, const char* Method,
                                   const char* Header, const char* Data, void* Userdata) {
  if (FData->Terminated || !FData->CurlMHandle || !URL) return false;
  auto request = std::make_unique<THTTPRequest>(this, Handler, URL, Method, Header, Data);
  request->SetData(Userdata);
  // A pinned host is reached at its pinned address; libcurl keeps connections made so apart from
  // those to whatever the name resolves to, and from those to another pinned address.
  std::string connectTo, host;
  uint16_t port = 0;
  if (!FData->Pins.empty() && URLHostPort(URL, host, port)) {
    auto pin = FData->Pins.find(host + ":" + std::to_string(port));
    if (pin != FData->Pins.end()) connectTo = ConnectToEntry(host, port, pin->second);
  }
  if (!request->Prepare(FData->TLS, connectTo)) return false;
  CURL* handle = request->Handle();
  FData->Running[handle] = std::move(request);
  if (curl_multi_add_handle(FData->CurlMHandle, handle) != CURLM_OK) {
    FData->Running.erase(handle);
    return false;
  }
  return true;
}

int TQELCurlWrapper::DoCycle(int TimeoutMS) {
  int running = 0;
  CURLMcode code = curl_multi_perform(FData->CurlMHandle, &running);
  if (code == CURLM_OK) {
    int numfds = 0;
    code = curl_multi_wait(FData->CurlMHandle, nullptr, 0, TimeoutMS, &numfds);
  } else {
    running = 0;
  }
  if (code != CURLM_OK)
    lws_log(QLLL_CURL_BASE | QLLL_ERR, "CURL: curl_multi failed: %d", static_cast<int>(code));
  DrainFinished();
  return running;
}

void TQELCurlWrapper::DrainFinished() {
  if (!FData->CurlMHandle) return;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(FData->CurlMHandle, &left)) {
    CURL* handle = message->easy_handle;
    const CURLcode result = message->data.result;
    auto it = FData->Running.find(handle);
    if (it == FData->Running.end()) continue;
    lws_log(CurlLog, "QLLL_CURL %p State %u", static_cast<void*>(it->second.get()),
            static_cast<unsigned>(message->msg));
    if (message->msg != CURLMSG_DONE) {
      if (result == CURLE_ABORTED_BY_CALLBACK)
        lws_log(CurlLog, "QLLL_CURL %p ABORTED", static_cast<void*>(it->second.get()));
      continue;
    }
    // The request leaves the client before its completion runs: the callback may make new requests
    // or terminate the client.
    std::unique_ptr<TCurlRequestInfo> request = std::move(it->second);
    FData->Running.erase(it);
    curl_multi_remove_handle(FData->CurlMHandle, handle);
    PostProcessGeneric(*request, result);
    if (!FData->CurlMHandle) break;
  }
}

void TQELCurlWrapper::PostProcessGeneric(TCurlRequestInfo& request, CURLcode result) {
  if (FData->Terminated) return;
  IQELCurlWrapperClient* caller = request.Handler();
  if (!caller) return;
  if (result != CURLE_OK) {
    auto* http = static_cast<THTTPRequest*>(request.As(CLSID_CURL_HTTPREQUEST));
    const std::string reason = http ? http->Reason(result) : std::string(curl_easy_strerror(result));
    caller->OnCurlError(request.GetData(), result, reason.c_str());
    return;
  }
  long status = 0;
  curl_easy_getinfo(request.Handle(), CURLINFO_RESPONSE_CODE, &status);
  const auto* http = static_cast<const THTTPRequest*>(request.As(CLSID_CURL_HTTPREQUEST));
  caller->OnCurlSuccess(request.GetData(), static_cast<int>(status), http ? http->Body().c_str() : "");
}

void TQELCurlWrapper::Serve() {
  lws_log(QLLL_CURL_BASE | QLLL_INFO, "TQELCurlWrapper::Serve() start");
  while (!Terminated())
    DoCycle(5);
  lws_log(QLLL_CURL_BASE | QLLL_INFO, "TQELCurlWrapper::serve() finished");
}

void* TQELCurlWrapper::ThreadWrapper(void* client) {
  static_cast<TQELCurlWrapper*>(client)->Serve();
  return nullptr;
}

IQELCurlWrapper* IQELCurlWrapper::Create(IQELCurlWrapperClient* client) {
  return new TQELCurlWrapper(client);
}

namespace {

std::string Convert(const std::string& text, bool escape) {
  CURL* handle = curl_easy_init();
  if (!handle) return std::string();
  int length = 0;
  char* converted = escape ? curl_easy_escape(handle, text.c_str(), static_cast<int>(text.size()))
                           : curl_easy_unescape(handle, text.c_str(), static_cast<int>(text.size()), &length);
  std::string result;
  if (converted)
    result = escape ? std::string(converted) : std::string(converted, static_cast<size_t>(length));
  curl_free(converted);
  curl_easy_cleanup(handle);
  return result;
}

} // namespace

std::string IQELCurlWrapper::Escape(const std::string& text) {
  return Convert(text, true);
}

std::string IQELCurlWrapper::Unescape(const std::string& text) {
  return Convert(text, false);
}

} // namespace Qel_http
