// The keys of the authorization server, kept up to date on the worker's loop: the server is the one the
// command line names, else the one of highest priority found by DNS-SD; its metadata
// ("/.well-known/oauth-authorization-server") gives the issuer and the key set's URL. The keys are
// fetched again every hour or so (a random part keeps nodes apart), and sooner, at most once a
// minute, when a token names a key the set lacks. A server that fails leaves the keys held in use;
// the next server is tried, then all again after a random back-off.
#pragma once

#include "HTTP_API.h"
#include "JWKSet.h"
#include "uv_unique_ptr.h"

#include <nlohmann/json.hpp>
#include <uv.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace Qel_auth {

class TAuthServerKeys : public Qel_http::IQELCurlWrapperClient {
public:
  static constexpr uint64_t RefreshSeconds = 3600;
  static constexpr uint64_t RefreshJitterSeconds = 60;
  static constexpr uint64_t MinRefetchSeconds = 60;
  static constexpr uint64_t FirstBackoffSeconds = 2;
  static constexpr uint64_t MaxBackoffSeconds = 300;
  // Without keys the node refuses every protected request: it asks again at least this often.
  static constexpr uint64_t MaxBackoffWithoutKeysSeconds = 30;

  // The back-off after one that failed: twice as long, up to the bound that holds with or without keys.
  static uint64_t NextBackoff(uint64_t backoff, bool haveKeys) {
    const uint64_t bound = haveKeys ? MaxBackoffSeconds : MaxBackoffWithoutKeysSeconds;
    return backoff * 2 < bound ? backoff * 2 : bound;
  }

  // configured: the server's base URL from the command line; empty: servers come by AddServer.
  TAuthServerKeys(uv_loop_t* loop, std::string configured);
  ~TAuthServerKeys() override;
  TAuthServerKeys(const TAuthServerKeys&) = delete;
  TAuthServerKeys& operator=(const TAuthServerKeys&) = delete;

  void Start();
  // How the servers are reached: https only on a secure node, their certificates checked against these CAs.
  void SetTLS(const Qel_http::TTLSClientSettings& tls) { Client->SetTLS(tls); }
  // Requests to host:port go to address (a server found by DNS-SD, named by its host name).
  void Pin(const std::string& host, uint16_t port, const std::string& address) {
    Client->Pin(host, port, address);
  }
  // A server found by DNS-SD (base URL "<proto>://<host>:<port>[/<selector>]") or gone.
  void AddServer(const std::string& name, const std::string& base, uint16_t priority);
  void DelServer(const std::string& name);
  // A token named a key the set lacks: fetch again unless that was done less than a minute ago.
  void RequestRefresh();

  // Keys and issuer known otherwise (as a fetch would give them).
  void Adopt(std::shared_ptr<const TJWKSet> keys, const std::string& issuer);

  std::shared_ptr<const TJWKSet> Keys() const { return FKeys; }
  const std::string& Issuer() const { return FIssuer; }
  // The server's metadata document that came with the keys held (endpoints for the node as client).
  const nlohmann::json& Metadata() const { return FMetadata; }
  // Counts changes of keys or issuer: what was checked with older ones is to be checked again.
  uint64_t Generation() const { return FGeneration; }
  // Called (on the loop) after each change of keys or issuer.
  std::function<void()> OnChange;

  // IQELCurlWrapperClient
  void OnCurlSuccess(void* data, int result, const char* response) override;
  void OnCurlError(void* data, int result, const char* message) override;

private:
  enum TStage { stIdle, stMetadata, stKeys };
  struct TServer {
    std::string Base;
    uint16_t Priority = 0;
  };

  void Fetch();
  void Failed(const std::string& why);
  void Schedule(uint64_t millis);
  std::string CurrentBase() const;
  uint64_t NowMillis() const;

  uv_loop_t* Loop;
  std::string Configured;
  std::map<std::string, TServer> Found; // by instance name
  std::unique_ptr<Qel_http::IQELCurlWrapper, void (*)(Qel_http::IQELCurlWrapper*)> Client;
  uv_timer_ptr Timer;
  TStage Stage = stIdle;
  size_t Attempt = 0; // servers tried in this round
  std::string Tried;  // base URL of the fetch that runs
  std::string PendingIssuer, PendingJWKSURI;
  nlohmann::json PendingMetadata, FMetadata;
  uint64_t Backoff = FirstBackoffSeconds;
  uint64_t LastFetch = 0; // loop time (ms) of the last fetch that started
  bool Started = false;
  std::shared_ptr<const TJWKSet> FKeys;
  std::string FIssuer;
  uint64_t FGeneration = 0;
};

} // namespace Qel_auth
