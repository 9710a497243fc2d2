// The node as an OAuth 2.0 client of the authorization server whose keys it holds: it registers itself
// there (RFC 7591) unless its credentials file already holds a registration with that issuer, and keeps
// an access token for the registration and query APIs by the client-credentials grant (RFC 6749 4.4,
// HTTP Basic client authentication), renewed at half its life and at least 5 s before it expires. A
// failure is tried again after a random back-off. Everything runs on the loop.
#pragma once

#include "AuthServerKeys.h"
#include "ClientCredentials.h"
#include "HTTP_API.h"
#include "uv_unique_ptr.h"

#include <nlohmann/json.hpp>
#include <uv.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace Qel_auth {

class TOAuthClient : public Qel_http::IQELCurlWrapperClient {
public:
  static constexpr const char* Scope = "registration query";
  static constexpr uint64_t RenewMarginSeconds = 5;
  static constexpr uint64_t FirstBackoffMillis = 1000;
  static constexpr uint64_t MaxBackoffMillis = 60000;
  // A refused token leads to a new one at most this often.
  static constexpr uint64_t MinRefusedRefetchMillis = 5000;

  enum class TRefusal {
    RetryNow, // a newer token is held: the request can go again at once
    Wait,     // a new token is being fetched: the listeners hear when it is there
    GiveUp    // no new token comes soon: the request fails
  };

  TOAuthClient(uv_loop_t* loop, TAuthServerKeys& server, const std::string& credentialsFile,
               std::string clientName);
  ~TOAuthClient() override;
  TOAuthClient(const TOAuthClient&) = delete;
  TOAuthClient& operator=(const TOAuthClient&) = delete;

  // Follows the server's keys: once its metadata is known, registers or fetches a token.
  void Start();
  // The token to send, empty while none is held (or the one held has expired).
  const std::string& Token() const;
  // Counts the tokens obtained.
  uint64_t TokenGeneration() const { return Generation; }
  // A request that carried the token of this generation was refused as unauthorized: a new token is
  // fetched unless a newer one is held already, one is being fetched, or the last was fetched less than
  // MinRefusedRefetchMillis ago.
  TRefusal Refused(uint64_t generation);
  // Called (on the loop) after each token request: true when a new token is held.
  uint64_t AddListener(std::function<void(bool)> listener);
  void RemoveListener(uint64_t id);
  void UpdateStats(nlohmann::json& stats) const;
  // How the authorization server is reached: https only on a secure node, checked against these CAs.
  void SetTLS(const Qel_http::TTLSClientSettings& tls) { Client->SetTLS(tls); }
  // The server's host name is reached at this address (found by DNS-SD).
  void Pin(const std::string& host, uint16_t port, const std::string& address) {
    Client->Pin(host, port, address);
  }

  // IQELCurlWrapperClient
  void OnCurlSuccess(void* data, int result, const char* response) override;
  void OnCurlError(void* data, int result, const char* message) override;

private:
  enum TStage { stIdle, stRegistering, stToken };

  void Proceed();
  void Register();
  void FetchToken();
  void Registered(int status, const nlohmann::json& doc, const std::string& body);
  void TokenAnswered(int status, const nlohmann::json& doc, const std::string& body);
  void Failed(const std::string& why);
  void Schedule(uint64_t millis);
  void Notify(bool ok);
  std::string Endpoint(const char* name) const;

  uv_loop_t* Loop;
  TAuthServerKeys& Server;
  TClientCredentialsFile File;
  std::string ClientName;
  std::unique_ptr<Qel_http::IQELCurlWrapper, void (*)(Qel_http::IQELCurlWrapper*)> Client;
  uv_timer_ptr Timer;
  TStage Stage = stIdle;
  bool Started = false;
  bool HaveCredentials = false;
  TClientCredentials Credentials;
  std::string FToken;
  uint64_t Expiry = 0;    // loop time (ms) when the token expires
  uint64_t LastFetch = 0; // loop time (ms) of the last token request
  uint64_t Generation = 0;
  uint64_t Backoff = FirstBackoffMillis;
  std::map<uint64_t, std::function<void(bool)>> Listeners;
  uint64_t NextListener = 1;
  uint64_t Registrations = 0, Tokens = 0, Failures = 0;
};

} // namespace Qel_auth
