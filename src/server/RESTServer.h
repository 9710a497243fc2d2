// The HTTP server of the Node API and Connection API: a libwebsockets server context on the worker's
// libuv loop whose connections, accepted from the server's own listening socket while it has room, are
// raw sockets carrying HTTP/1.1 (keep-alive, pipelining, chunked bodies, half-closed clients), request
// intake with limits and deadlines, dispatch through the fixed route table of the APIs, and responses
// with CORS headers.
#pragma once

#include "NMOSBridgeConfig.h"
#include "ProtoHTTP.h"
#include "RestSrv_API.h"
#include "Threaded_API.h"
#include "Types.h"

#include <string>
#include <vector>

namespace Qel_proto_http {
struct THTTPRequest;
struct THTTPResponse;
} // namespace Qel_proto_http

namespace Qel_auth {
class TRequestAuthorizer;
class TOAuthClient;
} // namespace Qel_auth

namespace Qel_nmos_bridge {

class IQELNMOSBridge;
struct TRESTServerData;

class IQELNMOSRestServer {
public:
  virtual void Destroy() = 0;
  virtual IQELNMOSBridge* Bridge() = 0;
  virtual ILWSHandler& AsLWSHandler() = 0;
  virtual const TQELNMOS_LWSSetup& GetConfig() const = 0;
  virtual void DoCycle() = 0;
  // Opens the port; false when the server context cannot be created.
  virtual bool InitService() = 0;
  virtual bool DeinitService() = 0;
  // Serves the request on the route its URL names; false when no route serves the URL or the route
  // does not serve the method (the result is not to be sent then).
  virtual bool HandleRequest(Qel_rest_srv::TRESTRequestData& request) = 0;
  virtual void UpdateStats(const char* name, json& stats) = 0;
  // The check of access tokens for the protected APIs; none when no API is protected.
  virtual Qel_auth::TRequestAuthorizer* Authorizer() = 0;
  // The node as OAuth client of the same authorization server, for the registry APIs it uses; none
  // when no API is protected.
  virtual Qel_auth::TOAuthClient* AuthClient() = 0;
  virtual ~IQELNMOSRestServer() = default;
};

class TNMOSRestServer : public IQELNMOSRestServer, public ILWSHandler, public Qel_hosted::IHostedService {
public:
  TNMOSRestServer(IQELNMOSBridge* parent, const TQELNMOS_LWSSetup& setup);
  ~TNMOSRestServer() override;
  TNMOSRestServer(const TNMOSRestServer&) = delete;
  TNMOSRestServer& operator=(const TNMOSRestServer&) = delete;

  // IQELNMOSRestServer
  void Destroy() override { delete this; }
  IQELNMOSBridge* Bridge() override { return Parent; }
  ILWSHandler& AsLWSHandler() override { return *this; }
  const TQELNMOS_LWSSetup& GetConfig() const override { return LWSSetup; }
  void DoCycle() override;
  bool InitService() override;
  bool DeinitService() override;
  bool HandleRequest(Qel_rest_srv::TRESTRequestData& request) override;
  void UpdateStats(const char* name, json& stats) override;
  Qel_auth::TRequestAuthorizer* Authorizer() override;
  Qel_auth::TOAuthClient* AuthClient() override;

  // ILWSHandler
  int HandleLWSCallback(lws* wsi, int reason, void* user, void* in, size_t len) override;

  // IHostedService
  bool Enabled() override { return true; }
  const Qel_hosted::TServiceInfo& GetInfo() override;
  uint32_t& GetCycleTime() override { return CycleTime; }

  // Largest request body taken in; a larger one is refused with 413 and not collected.
  static constexpr size_t MaxBodySize = 1024 * 1024;
  // Connections open at once, in all and from one peer address. While the server is full, further
  // clients wait in the listen queue (or take the place of a connection idle between requests); one
  // over its address's share is closed at once.
  static constexpr size_t MaxConnections = 512;
  static constexpr size_t MaxConnectionsPerPeer = 128;
  // Seconds a connection may stay idle, or take to send a request's head; and to send its body.
  static constexpr int IdleTimeout = 5;
  static constexpr int BodyTimeout = 10;
  // Seconds a connection that ends is kept to let the client read its last response.
  static constexpr int LingerTimeout = 2;

private:
  bool InitHTTPSrv();
  bool OpenListener();
  bool CreateContext();
  bool Secure() const;
  void TurnLoopForClosingHandles();
  void AcceptWaiting();
  struct THTTPConnection* IdleVictim();
  void CloseIdle(struct THTTPConnection& conn);
  void SetIdle(struct THTTPConnection& conn, bool idle);
  bool Accept(lws* wsi, struct THTTPSessionData* psd);
  void Unaccount(struct THTTPConnection& conn);
  void Release(struct THTTPSessionData* psd);
  int ServeInput(lws* wsi, struct THTTPConnection& conn);
  int Linger(lws* wsi, struct THTTPConnection& conn);
  void HandleHTTPRequest(lws* wsi, struct THTTPConnection& conn);
  bool Authorize(const struct THTTPConnection& conn, const Qel_proto_http::THTTPRequest& req,
                 Qel_proto_http::THTTPResponse& response);
  std::vector<std::string> NodeIdentities();
  bool Dispatch(Qel_rest_srv::TRESTRequestData& request, bool& routed);

  IQELNMOSBridge* Parent;
  TQELNMOS_LWSSetup LWSSetup;
  TRESTServerData* FData;
  uint32_t CycleTime = 0;
};

} // namespace Qel_nmos_bridge
