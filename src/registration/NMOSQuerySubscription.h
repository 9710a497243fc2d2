// One IS-04 Query API websocket subscription: created at the registry with a POST, then a websocket to
// the address the registry answered, whose grains and connection events go to the query client.
#pragma once

#include "HTTP_API.h"
#include "NMOSBaseClient.h"
#include "QueryGrainReader.h"
#include "Types.h"
#include "WebSocketClient.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Qel_nmos_bridge {

class TWSSubscription;

// What a subscription needs of the client that owns it: where the Query API is, the client's HTTP
// requests and loop, and where its grains and connection events go.
class IQuerySubscriptionOwner {
public:
  // The Query API in use; null when there is none.
  virtual const TNMOSAPIInfo* SubscriptionAPI() = 0;
  virtual Qel_http::IQELCurlWrapper& SubscriptionHTTP() = 0;
  // The "Authorization: Bearer ..." header line the requests and the websocket's upgrade carry; empty
  // when none is needed.
  virtual std::string SubscriptionAuthorization() = 0;
  // A request carried a token the Query API refused.
  virtual void SubscriptionUnauthorized() = 0;
  virtual Qel_hosted::IServiceHost& SubscriptionHost() = 0;
  // The CAs a Query API's certificate must chain to (empty: the system's store), for wss.
  virtual const std::string& SubscriptionCAFile() = 0;
  virtual void QueryAPIConnectFailed(TWSSubscription* sub) = 0;
  // TLS with the Query API failed (its certificate, its host name, the handshake): libcurl's reason.
  virtual void QueryAPITLSFailed(const char* reason) = 0;
  virtual void QueryAPIConnectLost(TWSSubscription* sub) = 0;
  virtual int QueryAPIReceivedText(TWSSubscription* sub, const void* data, int len) = 0;
  virtual void QueryAPIGrainItem(TWSSubscription* sub, const std::string& topic, const TGrainItem& item) = 0;
  virtual void QueryAPIGrainEnd(TWSSubscription* sub, const TGrainReader& reader,
                                TGrainReader::TResult result) = 0;
  virtual void QueryAPIGrainTooBig(TWSSubscription* sub) = 0;

protected:
  ~IQuerySubscriptionOwner() = default;
};

// Completion target of the subscription's HTTP requests.
class TNMOSRegSubscriptionCurlAdapter : public Qel_http::IQELCurlWrapperClient {
public:
  TNMOSRegSubscriptionCurlAdapter(TWSSubscription& subscription, Qel_http::IQELCurlWrapper& http)
      : Subscription(subscription), HTTP(http) {}
  void OnCurlSuccess(void* Data, int Result, const char* Response) override;
  void OnCurlError(void* Data, int Result, const char* Message) override;

  TWSSubscription& Subscription;
  Qel_http::IQELCurlWrapper& HTTP;
};

// The websocket of the subscription: every event goes to the subscription's handler of the same name.
class TNMOSRegSubscriptionWSClientAdapter : public Qel_websock_api::TWebSocketClient {
public:
  TNMOSRegSubscriptionWSClientAdapter(TWSSubscription& subscription, Qel_hosted::IServiceHost& host,
                                      const std::string& name, const Qel_websock_api::TWSClientTLS& tls);
  bool HandleBeginConnect(Qel_websock_api::IWebSocketClient* cli) override;
  void HandleConnected(Qel_websock_api::IWebSocketClient* cli) override;
  void HandleConnectFailed(Qel_websock_api::IWebSocketClient* cli) override;
  void HandleDisconnected(Qel_websock_api::IWebSocketClient* cli) override;
  int HandleReceivedBinary(Qel_websock_api::IWebSocketClient* cli, const void* data, int len) override;
  int HandleReceivedText(Qel_websock_api::IWebSocketClient* cli, const void* data, int len) override;
  int HandleCanWrite(Qel_websock_api::IWebSocketClient* cli) override;
  // An attempt that ends in an error (refused, unreachable, no websocket at that address) is a failed
  // connection to the subscription, not only the 3 s time-out.
  int HandleLWSCallback(lws* wsi, int reason, void* user, void* in, size_t len) override;

  TWSSubscription& Subscription;

protected:
  // Grains are read as they arrive.
  int HandleReceivedPiece(const void* data, size_t len, bool first, bool last, bool binary) override;
};

class TWSSubscription {
public:
  TWSSubscription(IQuerySubscriptionOwner& parent, const json& spec);
  TWSSubscription(const TWSSubscription&) = delete;
  TWSSubscription& operator=(const TWSSubscription&) = delete;

  // Must not run inside a callback of the subscription's own websocket.
  virtual void Destroy();
  virtual void SetHost(const std::string& host, uint16_t port, std::string path);
  virtual void DoLowCycle();
  virtual const Qel_websock_api::TWebSocketClient* GetWSAdapter() const;
  IQuerySubscriptionOwner& Owner() { return Parent; }
  virtual ~TWSSubscription();

  virtual void HandleConnected(Qel_websock_api::IWebSocketClient* cli);
  virtual bool HandleBeginConnect(Qel_websock_api::IWebSocketClient* cli);
  virtual void HandleConnectFailed(Qel_websock_api::IWebSocketClient* cli);
  virtual void HandleDisconnected(Qel_websock_api::IWebSocketClient* cli);
  virtual int HandleReceivedBinary(Qel_websock_api::IWebSocketClient* cli, const void* data, int len);
  virtual int HandleReceivedText(Qel_websock_api::IWebSocketClient* cli, const void* data, int len);
  virtual int HandleCanWrite(Qel_websock_api::IWebSocketClient* cli);
  // A piece of a websocket message: grains go to the query client item by item.
  virtual int HandleReceivedPiece(const void* data, size_t len, bool first, bool last, bool binary);
  // The registry answered the subscription POST with 200 or 201 (V: the parsed body).
  virtual void HandleCurlSuccess(int Result, const json& V, const char* Response);
  virtual void HandleCurlError(int Result, const char* Message);
  // The registry answered with another status, or with a body that names no websocket.
  virtual void HandleRefused(int Result, const char* Response);

  const std::string& GetName() const;
  const std::string& GetID() const { return ID; }
  const json& GetSpec() const { return Spec; }
  void Init();
  void Deinit();

private:
  IQuerySubscriptionOwner& Parent;
  TNMOSRegSubscriptionCurlAdapter CurlAdapt;
  std::unique_ptr<TNMOSRegSubscriptionWSClientAdapter> WSAdapt;
  const json Spec;
  std::string ID;
  // Set once the websocket failed or closed: the query client gives the subscription up, and its
  // websocket client must not start another connection that the end of its context would cut short.
  bool Ended = false;
  bool RequestRunning = false;
  TGrainReader Reader;
};

// The websocket address of a subscription answer: host, port (the endpoint's port when ws_href names
// none) and the path with its query. False when "ws_href" is no URL with a host of the scheme asked
// for: "wss" for a Query API reached over https, "ws" for one over http.
bool SubscriptionTarget(const std::string& wsHref, bool secure, uint16_t defaultPort, std::string& host,
                        uint16_t& port, std::string& path);

} // namespace Qel_nmos_bridge
