// A websocket client on libwebsockets, driven by the service host: its context runs on the host's
// libuv loop, its connection machine runs once per host cycle. It reconnects by itself (at most one
// attempt per second while the server is unreachable), queues outgoing text messages and hands
// received messages and connection changes to the hooks of IWebSocketClient.
#pragma once

#include "ProtoHTTP.h"
#include "Threaded_API.h"
#include "WebSocket_API.h"

#include <chrono>
#include <memory>
#include <string>

namespace Qel_websock_api {

using json = nlohmann::json;

struct TWSData;
struct TMachineCtrl;

// A client over TLS (wss): TLS 1.2 at least, the server's certificate checked against the CAs and its
// name against the host connected to.
struct TWSClientTLS {
  bool Enabled = false;
  std::string CAFile; // empty: the system's store
};

class TWebSocketClient : public IWebSocketClient, public ILWSHandler, public Qel_hosted::IHostedService {
public:
  static constexpr size_t MaxQueueSize = 1024;
  // A message growing beyond this while it is reassembled is dropped.
  static constexpr size_t MaxMessageSize = 16 * 1024 * 1024;

  // connTimeout != 0 switches on the receive watchdog: no message for 6 s calls HandleDisconnected.
  TWebSocketClient(Qel_hosted::IServiceHost& host, const std::string& name, uint32_t connTimeout,
                   bool autoReconnect, const TWSClientTLS& tls = TWSClientTLS());
  ~TWebSocketClient() override;
  TWebSocketClient(const TWebSocketClient&) = delete;
  TWebSocketClient& operator=(const TWebSocketClient&) = delete;

  void Destroy() override;
  int DoLowCycle() override { return 0; }
  // Leaves the connection machine for good, unregisters from the host and hands the context to the
  // loop, which closes it over its next turns; nothing reaches the client from it afterwards. It never
  // turns the loop itself, so it may run anywhere but inside one of the client's own callbacks.
  void Shutdown() override;
  void SetHost(const std::string& host, uint16_t port, const std::string& path,
               const std::string& protocol) override;
  // Connects to this address instead of what the host resolves to (set before the connection; empty:
  // the host is resolved). The Host header, SNI and the check of the server's certificate keep the host.
  void SetAddress(const std::string& address);
  void ResetConnection() override;

  bool HandleBeginConnect(IWebSocketClient*) override { return false; }
  void HandleConnected(IWebSocketClient*) override {}
  void HandleConnectFailed(IWebSocketClient*) override {}
  void HandleDisconnected(IWebSocketClient*) override {}
  int HandleReceivedBinary(IWebSocketClient*, const void*, int) override { return 0; }
  int HandleReceivedText(IWebSocketClient*, const void*, int) override { return 0; }
  // Sends the oldest queued message, if any.
  int HandleCanWrite(IWebSocketClient* cli) override;

  int Send(const void* data, int len) override;
  bool BufferMessage(const TTxBufferItem& item) override;

  void DoCycle() override;
  bool Enabled() override { return true; }
  const Qel_hosted::TServiceInfo& GetInfo() override;
  void UpdateStats(const char* name, json& stats) override;
  uint32_t& GetCycleTime() override { return CycleTime; }

  virtual const lws_protocols* GetProtoDef();
  int HandleLWSCallback(lws* wsi, int reason, void* user, void* in, size_t len) override;

  TFWAPIStatus GetStatus() const;
  const std::string& Name() const;
  size_t QueueSize() const;

  uint32_t CycleTime = 0;

protected:
  using TClock = std::chrono::steady_clock;
  // The client's clock for its deadlines; tests move it on without waiting.
  virtual TClock::time_point Now() const { return TClock::now(); }
  // One piece of a received message as it arrives (`first` on its first piece, `last` on its last;
  // a message of one piece has both). The default gathers the pieces, at most MaxMessageSize bytes,
  // and hands the whole message to HandleReceivedText or HandleReceivedBinary; a client that reads
  // its messages as a stream takes the pieces itself. Non-zero closes the connection.
  virtual int HandleReceivedPiece(const void* data, size_t len, bool first, bool last, bool binary);

private:
  friend struct TMachineCtrl;

  void Startup();
  void CreateContext();
  void HandleShutdown();
  void Connect();
  void StartConnection();
  void EndHandshake();
  void Connected();
  void ConnectFailed();
  void Disconnected();
  void EnterOffline();
  void EnterConnecting();
  void RunOffline();
  void WakeForNextAttempt();
  void RunConnecting();
  void RunConnected();
  void RequestWrite();
  bool IsCurrent(lws* wsi) const;
  void OnConnectionLost(lws* wsi);
  int OnClientReceive(lws* wsi, const void* in, size_t len);
  int GiveUp(lws* wsi);
  int OnReceive(const void* data, size_t len, bool binary);
  int OnCanWrite();

  std::unique_ptr<TWSData> FData;
};

} // namespace Qel_websock_api
