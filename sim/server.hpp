// The firmware service endpoint: one libwebsockets vhost serving the websocket protocol "WS-protocol" on
// path "/" and the HTTP resources of http_routes on the same port.
#pragma once

#include "firmware.hpp"
#include "http_routes.hpp"

#include <libwebsockets.h>

#include <csignal>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace aes67fw_sim {

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 8080;                // 0: the kernel picks a free port
  unsigned heartbeat_seconds = 1; // "cmd" 3
  unsigned resend_seconds = 5;    // both documents again; 0: never
};

class Server {
public:
  // Binds and listens; throws std::runtime_error when that fails.
  Server(Firmware& firmware, const ServerOptions& options);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() = default;

  int Port() const { return port_; }
  // Serves until `stop` becomes non-zero; Wake() makes a waiting loop look at it.
  void Run(const volatile std::sig_atomic_t& stop);
  // Async-signal-safe enough for a signal handler: it only writes to the loop's wake-up pipe.
  void Wake();

private:
  struct TimerSlot {
    lws_sorted_usec_list_t sul; // first member: the timer callback gets its address
    Server* owner;
  };
  struct WsSession {
    std::deque<std::shared_ptr<const std::string>> out;
    std::string in;
    bool in_dropped = false; // the current message outgrew the limit
  };
  struct HttpExchange {
    Method method = Method::Other;
    std::string path;
    std::string body;
    bool body_too_large = false;
    std::string response;
    std::size_t sent = 0;
  };
  struct ContextDeleter {
    void operator()(lws_context* c) const { lws_context_destroy(c); }
  };

  static int HttpCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
  static int WsCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
  static Server& Of(lws* wsi);
  static void OnHeartbeat(lws_sorted_usec_list_t* sul);
  static void OnResend(lws_sorted_usec_list_t* sul);

  // websocket side
  int WsEstablished(lws* wsi);
  int WsReceive(lws* wsi, const void* in, size_t len);
  int WsWriteable(lws* wsi);
  void Deliver(lws* wsi, WsSession& session);
  void Enqueue(lws* wsi, WsSession& session, const std::shared_ptr<const std::string>& text);
  void PushToAll(const std::shared_ptr<const std::string>& text);
  void PushDocuments(bool config, bool state);
  void Schedule(TimerSlot& slot, void (*cb)(lws_sorted_usec_list_t*), unsigned seconds);

  // HTTP side
  int HttpRequest(lws* wsi, const char* uri);
  int HttpBody(lws* wsi, const void* in, size_t len);
  int HttpRespond(lws* wsi);
  int HttpWriteable(lws* wsi);

  Firmware& firmware_;
  ServerOptions options_;
  std::vector<lws_protocols> protocols_;
  std::unordered_map<lws*, WsSession> sessions_;
  std::unordered_map<lws*, HttpExchange> exchanges_;
  std::vector<unsigned char> scratch_; // LWS_PRE + payload for lws_write
  TimerSlot heartbeat_{};
  TimerSlot resend_{};
  int port_ = 0;
  // Last: destroyed first, while the sessions and timers its close callbacks touch still exist.
  std::unique_ptr<lws_context, ContextDeleter> context_;
};

} // namespace aes67fw_sim
