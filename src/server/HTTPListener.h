// The listening socket of the node's HTTP server, watched on the worker's libuv loop. The server accepts
// clients itself, only while it has room for them, and hands each one to libwebsockets; while it does not
// accept, clients wait in the kernel's listen queue (its length is the backlog given here, capped by the
// kernel's net.core.somaxconn).
#pragma once

#include "uv_unique_ptr.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

using uv_poll_ptr = std::unique_ptr<uv_poll_t, uv_delete<uv_poll_t>>;

namespace Qel_proto_http {

struct TAcceptedClient {
  int Fd = -1;
  std::string Peer; // the client's address as text (an IPv4 address mapped into IPv6 as IPv4)
};

class THTTPListener {
public:
  // Called on the loop while clients wait to be accepted and the listener is not paused.
  using TOnWaiting = std::function<void()>;

  THTTPListener(uv_loop_t* loop, TOnWaiting onWaiting);
  ~THTTPListener();
  THTTPListener(const THTTPListener&) = delete;
  THTTPListener& operator=(const THTTPListener&) = delete;

  // Binds the IPv4 `address` (empty: every address, IPv6 and IPv4) and `port`, and listens with
  // `backlog`. Accepting starts paused. False with `error` set when the socket cannot be had.
  bool Open(const std::string& address, uint16_t port, int backlog, std::string& error);
  void Close();

  // Whether waiting clients are to be told (the listener may still rest after running out of descriptors).
  void Resume();
  void Pause();
  bool Paused() const { return !Wanted; }

  // Takes one waiting client (non-blocking, close-on-exec). False when none waits, or when accepting
  // failed; when the process is out of descriptors or memory, accepting pauses for a moment.
  bool Accept(TAcceptedClient& client);

private:
  void Update();
  static void OnReadable(uv_poll_t* handle, int status, int events);
  static void OnRetry(uv_timer_t* handle);

  uv_loop_t* Loop;
  TOnWaiting OnWaiting;
  int Fd = -1;
  uv_poll_ptr Poll;
  uv_timer_ptr Retry;
  bool Wanted = false;   // the server has room for clients
  bool Watching = false; // the socket is polled
  bool Resting = false;  // out of descriptors: not polled until the retry timer fires
};

} // namespace Qel_proto_http
