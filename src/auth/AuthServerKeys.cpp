#include "AuthServerKeys.h"

#include "IssuerURL.h"
#include "helpers.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <random>
#include <vector>

namespace Qel_auth {

using json = nlohmann::json;

namespace {

const char* const MetadataPath = "/.well-known/oauth-authorization-server";
const char* Stages[] = {"", "metadata", "keys"};

uint64_t RandomBelow(uint64_t bound) {
  static std::minstd_rand generator{std::random_device{}()};
  return bound ? std::uniform_int_distribution<uint64_t>(0, bound - 1)(generator) : 0;
}

} // namespace

TAuthServerKeys::TAuthServerKeys(uv_loop_t* loop, std::string configured)
    : Loop(loop), Configured(WithoutTrailingSlash(std::move(configured))),
      Client(Qel_http::IQELCurlWrapper::Create(this, loop),
             [](Qel_http::IQELCurlWrapper* c) {
               c->Terminate();
               c->Destroy();
             }),
      Timer(new uv_timer_t), FKeys(std::make_shared<TJWKSet>()) {
  uv_timer_init(Loop, Timer.get());
  Timer->data = this;
}

TAuthServerKeys::~TAuthServerKeys() {
  uv_timer_stop(Timer.get());
}

uint64_t TAuthServerKeys::NowMillis() const {
  return uv_now(Loop);
}

void TAuthServerKeys::Start() {
  if (Started) return;
  Started = true;
  Fetch();
}

void TAuthServerKeys::AddServer(const std::string& name, const std::string& base, uint16_t priority) {
  TServer& server = Found[name];
  const bool changed = server.Base != base || server.Priority != priority;
  server.Base = WithoutTrailingSlash(base);
  server.Priority = priority;
  // The first server found, or a better one while none has answered: ask at once.
  if (changed && Configured.empty() && Started && Stage == stIdle && FIssuer.empty()) {
    Attempt = 0;
    Fetch();
  }
}

void TAuthServerKeys::DelServer(const std::string& name) {
  Found.erase(name);
}

void TAuthServerKeys::RequestRefresh() {
  if (!Started || Stage != stIdle) return;
  if (LastFetch != 0 && NowMillis() - LastFetch < MinRefetchSeconds * 1000) return;
  Attempt = 0;
  Fetch();
}

std::string TAuthServerKeys::CurrentBase() const {
  if (!Configured.empty()) return Attempt == 0 ? Configured : std::string();
  std::vector<const TServer*> order;
  for (const auto& entry : Found)
    order.push_back(&entry.second);
  std::stable_sort(order.begin(), order.end(),
                   [](const TServer* a, const TServer* b) { return a->Priority < b->Priority; });
  return Attempt < order.size() ? order[Attempt]->Base : std::string();
}

void TAuthServerKeys::Schedule(uint64_t millis) {
  uv_timer_stop(Timer.get());
  uv_timer_start(
      Timer.get(),
      [](uv_timer_t* timer) {
        auto* self = static_cast<TAuthServerKeys*>(timer->data);
        if (self->Stage != stIdle) return;
        self->Attempt = 0;
        self->Fetch();
      },
      millis, 0);
}

void TAuthServerKeys::Fetch() {
  Tried = CurrentBase();
  if (Tried.empty()) {
    // Every server failed, or none is known yet: try again after a random back-off.
    Stage = stIdle;
    if (Configured.empty() && Found.empty()) return; // AddServer starts the next round
    const bool haveKeys = FKeys && !FKeys->Empty();
    if (!haveKeys) Backoff = std::min(Backoff, MaxBackoffWithoutKeysSeconds);
    const uint64_t wait = Backoff * 1000 / 2 + RandomBelow(Backoff * 1000 / 2 + 1);
    Backoff = NextBackoff(Backoff, haveKeys);
    Schedule(wait);
    return;
  }
  Stage = stMetadata;
  LastFetch = NowMillis();
  if (LastFetch == 0) LastFetch = 1;
  // RFC 8414: the well-known part goes between the issuer's host and its path.
  const size_t hostStart = Tried.find("://");
  const size_t pathStart = hostStart == std::string::npos ? hostStart : Tried.find('/', hostStart + 3);
  const std::string url = pathStart == std::string::npos
                              ? Tried + MetadataPath
                              : Tried.substr(0, pathStart) + MetadataPath + Tried.substr(pathStart);
  if (!Client->HTTP_Request(this, url.c_str(), "GET", nullptr, nullptr, &Stages[stMetadata]))
    Failed("the request could not be made");
}

void TAuthServerKeys::Adopt(std::shared_ptr<const TJWKSet> keys, const std::string& issuer) {
  FKeys = std::move(keys);
  FIssuer = issuer;
  ++FGeneration;
  if (OnChange) OnChange();
}

void TAuthServerKeys::Failed(const std::string& why) {
  lws_log(QLLL_WARN, "Authorization server %s: %s", Tried.c_str(), why.c_str());
  Stage = stIdle;
  ++Attempt;
  Fetch();
}

void TAuthServerKeys::OnCurlError(void*, int, const char* message) {
  Failed(std::string("no answer: ") + (message ? message : ""));
}

void TAuthServerKeys::OnCurlSuccess(void* data, int result, const char* response) {
  if (result != 200)
    return Failed(std::string(data == &Stages[stMetadata] ? "metadata" : "keys") + " status " +
                  std::to_string(result));
  const json doc = json::parse(response ? response : "", nullptr, false);
  if (data == &Stages[stMetadata] && Stage == stMetadata) {
    if (!doc.is_object() || !doc.contains("issuer") || !doc["issuer"].is_string() ||
        !doc.contains("jwks_uri") || !doc["jwks_uri"].is_string())
      return Failed("metadata without issuer or jwks_uri");
    PendingIssuer = doc["issuer"].get<std::string>();
    PendingJWKSURI = doc["jwks_uri"].get<std::string>();
    PendingMetadata = doc;
    // A server named on the command line has to be the issuer it claims to be.
    if (!Configured.empty() && WithoutTrailingSlash(PendingIssuer) != Configured)
      return Failed("metadata names another issuer");
    if (!IsHTTPURL(PendingIssuer) || !IsHTTPURL(PendingJWKSURI))
      return Failed("metadata with a malformed URL");
    Stage = stKeys;
    if (!Client->HTTP_Request(this, PendingJWKSURI.c_str(), "GET", nullptr, nullptr, &Stages[stKeys]))
      Failed("the request could not be made");
    return;
  }
  if (data != &Stages[stKeys] || Stage != stKeys) return;
  auto keys = std::make_shared<TJWKSet>();
  std::vector<std::string> skipped;
  // (the keys are taken below, once they are known to be usable)
  if (!keys->Parse(doc, &skipped)) return Failed("no key set");
  for (const std::string& why : skipped)
    lws_log(QLLL_WARN, "Authorization server %s: key %s left out", Tried.c_str(), why.c_str());
  if (keys->Empty()) return Failed("no usable key");
  Stage = stIdle;
  Backoff = FirstBackoffSeconds;
  FMetadata = std::move(PendingMetadata);
  Adopt(keys, PendingIssuer);
  lws_log(QLLL_NOTICE, "Authorization server %s: %u keys of issuer %s", Tried.c_str(),
          static_cast<unsigned>(keys->Keys().size()), FIssuer.c_str());
  Schedule((RefreshSeconds - RandomBelow(RefreshJitterSeconds + 1)) * 1000);
}

} // namespace Qel_auth
