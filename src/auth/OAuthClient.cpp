#include "OAuthClient.h"

#include "IssuerURL.h"
#include "helpers.h"

#include <openssl/evp.h>

#include <algorithm>
#include <random>
#include <strings.h>
#include <vector>

namespace Qel_auth {

using json = nlohmann::json;

namespace {

const char RegisteringTag = 'r';
const char TokenTag = 't';

std::string Base64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                      reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// RFC 6750 2.1: a bearer token is a b64token (letters, digits, "-._~+/", then "=" padding only). Anything
// else could break out of the header line it goes into.
bool IsBearerToken(const std::string& token) {
  if (token.empty() || token.size() > 16384) return false;
  size_t i = 0;
  for (; i < token.size(); ++i) {
    const char c = token[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.' || c == '_' || c == '~' || c == '+' || c == '/'))
      break;
  }
  if (i == 0) return false;
  for (; i < token.size(); ++i)
    if (token[i] != '=') return false;
  return true;
}

uint64_t RandomBelow(uint64_t bound) {
  static std::minstd_rand generator{std::random_device{}()};
  return bound ? std::uniform_int_distribution<uint64_t>(0, bound - 1)(generator) : 0;
}

// What an error answer says, for the log: its "error" and "error_description", else its start.
std::string ErrorText(const json& doc, const std::string& body) {
  if (doc.is_object() && doc.contains("error") && doc["error"].is_string()) {
    std::string text = doc["error"].get<std::string>();
    if (doc.contains("error_description") && doc["error_description"].is_string())
      text += ": " + doc["error_description"].get<std::string>();
    return text;
  }
  return body.substr(0, 200);
}

} // namespace

TOAuthClient::TOAuthClient(uv_loop_t* loop, TAuthServerKeys& server, const std::string& credentialsFile,
                           std::string clientName)
    : Loop(loop), Server(server), File(credentialsFile), ClientName(std::move(clientName)),
      Client(Qel_http::IQELCurlWrapper::Create(this, loop),
             [](Qel_http::IQELCurlWrapper* c) {
               c->Terminate();
               c->Destroy();
             }),
      Timer(new uv_timer_t) {
  uv_timer_init(Loop, Timer.get());
  Timer->data = this;
}

TOAuthClient::~TOAuthClient() {
  uv_timer_stop(Timer.get());
  if (Started) Server.OnChange = nullptr;
}

void TOAuthClient::Start() {
  if (Started) return;
  Started = true;
  std::function<void()> before = std::move(Server.OnChange);
  Server.OnChange = [this, before] {
    if (before) before();
    // Another issuer: what was held for the former one does not count there.
    if (HaveCredentials &&
        WithoutTrailingSlash(Credentials.Issuer) != WithoutTrailingSlash(Server.Issuer())) {
      HaveCredentials = false;
      FToken.clear();
      Expiry = 0;
    }
    if (Stage == stIdle && (!HaveCredentials || Token().empty()) &&
        !uv_is_active(reinterpret_cast<uv_handle_t*>(Timer.get())))
      Proceed();
  };
  Proceed();
}

const std::string& TOAuthClient::Token() const {
  static const std::string none;
  return Expiry > uv_now(Loop) ? FToken : none;
}

uint64_t TOAuthClient::AddListener(std::function<void(bool)> listener) {
  Listeners[NextListener] = std::move(listener);
  return NextListener++;
}

void TOAuthClient::RemoveListener(uint64_t id) {
  Listeners.erase(id);
}

void TOAuthClient::Notify(bool ok) {
  std::vector<std::function<void(bool)>> listeners;
  for (const auto& entry : Listeners)
    listeners.push_back(entry.second);
  for (const auto& listener : listeners)
    listener(ok);
}

TOAuthClient::TRefusal TOAuthClient::Refused(uint64_t generation) {
  if (generation < Generation && !Token().empty()) return TRefusal::RetryNow;
  if (Stage == stToken) return TRefusal::Wait;
  if (Stage != stIdle || !HaveCredentials) return TRefusal::GiveUp;
  if (LastFetch != 0 && uv_now(Loop) - LastFetch < MinRefusedRefetchMillis) return TRefusal::GiveUp;
  lws_log(QLLL_WARN, "OAuth client: the access token was refused, asking for a new one");
  FToken.clear();
  Expiry = 0;
  uv_timer_stop(Timer.get());
  FetchToken();
  return Stage == stToken ? TRefusal::Wait : TRefusal::GiveUp;
}

std::string TOAuthClient::Endpoint(const char* name) const {
  const json& metadata = Server.Metadata();
  if (!metadata.is_object() || !metadata.contains(name) || !metadata[name].is_string()) return std::string();
  const std::string url = metadata[name].get<std::string>();
  return IsHTTPURL(url) ? url : std::string();
}

void TOAuthClient::Schedule(uint64_t millis) {
  uv_timer_stop(Timer.get());
  uv_timer_start(
      Timer.get(),
      [](uv_timer_t* timer) {
        auto* self = static_cast<TOAuthClient*>(timer->data);
        if (self && self->Stage == stIdle) self->Proceed();
      },
      millis, 0);
}

void TOAuthClient::Proceed() {
  if (!Started || Stage != stIdle) return;
  const std::string issuer = Server.Issuer();
  if (issuer.empty()) return; // the keys' arrival calls again
  if (!HaveCredentials) {
    std::string why;
    if (!File.Load(why)) lws_log(QLLL_WARN, "OAuth client: %s; registering again", why.c_str());
    if (const TClientCredentials* held = File.Find(issuer)) {
      Credentials = *held;
      HaveCredentials = true;
    }
  }
  if (HaveCredentials)
    FetchToken();
  else
    Register();
}

void TOAuthClient::Register() {
  const std::string url = Endpoint("registration_endpoint");
  if (url.empty())
    return Failed("the authorization server's metadata names no registration_endpoint, and " +
                  File.FilePath() + " holds no registration with it");
  const json body = {{"client_name", ClientName},
                     {"grant_types", {"client_credentials"}},
                     {"response_types", json::array()},
                     {"scope", Scope},
                     {"token_endpoint_auth_method", "client_secret_basic"}};
  Stage = stRegistering;
  if (!Client->HTTP_Request(this, url.c_str(), "POST", nullptr, body.dump().c_str(),
                            const_cast<char*>(&RegisteringTag)))
    Failed("the registration request could not be made");
}

void TOAuthClient::FetchToken() {
  const std::string url = Endpoint("token_endpoint");
  if (url.empty()) return Failed("the authorization server's metadata names no token_endpoint");
  // RFC 6749 2.3.1: the id and secret are form-encoded before they are joined.
  const std::string basic = Base64(Qel_http::IQELCurlWrapper::Escape(Credentials.ClientID) + ":" +
                                   Qel_http::IQELCurlWrapper::Escape(Credentials.ClientSecret));
  const std::string header =
      "Authorization: Basic " + basic + "\r\nContent-Type: application/x-www-form-urlencoded";
  const std::string body = "grant_type=client_credentials&scope=" + Qel_http::IQELCurlWrapper::Escape(Scope);
  Stage = stToken;
  LastFetch = uv_now(Loop);
  if (LastFetch == 0) LastFetch = 1;
  if (!Client->HTTP_Request(this, url.c_str(), "POST", header.c_str(), body.c_str(),
                            const_cast<char*>(&TokenTag)))
    Failed("the token request could not be made");
}

void TOAuthClient::Failed(const std::string& why) {
  const bool fetching = Stage == stToken;
  lws_log(QLLL_WARN, "OAuth client: %s", why.c_str());
  ++Failures;
  Stage = stIdle;
  // Nodes that failed together come back apart: half the back-off and a random part of the other half.
  Schedule(Backoff / 2 + RandomBelow(Backoff / 2 + 1));
  Backoff = std::min(Backoff * 2, MaxBackoffMillis);
  if (fetching) Notify(false);
}

void TOAuthClient::OnCurlError(void*, int, const char* message) {
  Failed(std::string(Stage == stRegistering ? "registration" : "token request") +
         ": no answer: " + (message ? message : ""));
}

void TOAuthClient::OnCurlSuccess(void* data, int result, const char* response) {
  const std::string body = response ? response : "";
  const json doc = json::parse(body, nullptr, false);
  if (data == &RegisteringTag && Stage == stRegistering) return Registered(result, doc, body);
  if (data == &TokenTag && Stage == stToken) return TokenAnswered(result, doc, body);
}

void TOAuthClient::Registered(int status, const json& doc, const std::string& body) {
  if (status != 201 && status != 200)
    return Failed("registration refused (" + std::to_string(status) + "): " + ErrorText(doc, body));
  if (!doc.is_object() || !doc.contains("client_id") || !doc["client_id"].is_string() ||
      !doc.contains("client_secret") || !doc["client_secret"].is_string() ||
      doc["client_id"].get<std::string>().empty())
    return Failed("the registration's answer has no client_id or client_secret");
  Credentials = {Server.Issuer(), doc["client_id"].get<std::string>(),
                 doc["client_secret"].get<std::string>()};
  HaveCredentials = true;
  ++Registrations;
  File.Put(Credentials);
  std::string why;
  if (!File.Save(why))
    lws_log(QLLL_ERR,
            "OAuth client: the registration is not kept, the node registers again at its next start: %s",
            why.c_str());
  lws_log(QLLL_NOTICE, "OAuth client: registered as %s with %s", Credentials.ClientID.c_str(),
          Credentials.Issuer.c_str());
  Stage = stIdle;
  FetchToken();
}

void TOAuthClient::TokenAnswered(int status, const json& doc, const std::string& body) {
  if (status != 200) {
    const bool badClient =
        status == 401 || (doc.is_object() && doc.value("error", json("")) == "invalid_client");
    if (badClient) {
      // The server no longer knows the registration: it is forgotten, and the node registers again.
      HaveCredentials = false;
      File.Forget(Credentials.Issuer);
      std::string why;
      if (!File.Save(why)) lws_log(QLLL_ERR, "OAuth client: %s", why.c_str());
    }
    return Failed("token request refused (" + std::to_string(status) + "): " + ErrorText(doc, body));
  }
  if (!doc.is_object() || !doc.contains("access_token") || !doc["access_token"].is_string() ||
      doc["access_token"].get<std::string>().empty())
    return Failed("the token answer has no access_token");
  if (!IsBearerToken(doc["access_token"].get<std::string>()))
    return Failed("the token answer's access_token is not a bearer token");
  if (doc.contains("token_type") && (!doc["token_type"].is_string() ||
                                     strcasecmp(doc["token_type"].get<std::string>().c_str(), "bearer") != 0))
    return Failed("the token answer names a token type other than Bearer");
  uint64_t life = 3600;
  if (doc.contains("expires_in") && doc["expires_in"].is_number()) {
    const double seconds = doc["expires_in"].get<double>();
    life = seconds <= 0 ? 0 : seconds > 86400.0 * 365 ? 86400ULL * 365 : static_cast<uint64_t>(seconds);
  }
  if (life == 0) return Failed("the token answer's token has expired already");
  const uint64_t now = uv_now(Loop);
  FToken = doc["access_token"].get<std::string>();
  Expiry = now + life * 1000;
  ++Generation;
  ++Tokens;
  Stage = stIdle;
  Backoff = FirstBackoffMillis;
  // Renewed at half its life, and at least 5 s before it expires (once a second at most).
  uint64_t renew = life * 1000 / 2;
  if (life > RenewMarginSeconds) renew = std::min(renew, (life - RenewMarginSeconds) * 1000);
  Schedule(std::max<uint64_t>(renew, 1000));
  Notify(true);
}

void TOAuthClient::UpdateStats(json& stats) const {
  stats["Registered"] = HaveCredentials;
  stats["TokenHeld"] = !Token().empty();
  stats["ClientRegistrations"] = Registrations;
  stats["Tokens"] = Tokens;
  stats["Failures"] = Failures;
}

} // namespace Qel_auth
