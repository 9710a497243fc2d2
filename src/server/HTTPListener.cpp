#include "HTTPListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Qel_proto_http {

namespace {

// How long accepting rests when the process has no descriptor (or memory) left for a client.
constexpr uint64_t RetryMs = 100;

std::string PeerText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    const in6_addr& a6 = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a6))
      inet_ntop(AF_INET, &a6.s6_addr[12], text, sizeof text);
    else
      inet_ntop(AF_INET6, &a6, text, sizeof text);
  }
  return text;
}

std::string SystemError(const char* what) {
  return std::string(what) + ": " + strerror(errno);
}

} // namespace

THTTPListener::THTTPListener(uv_loop_t* loop, TOnWaiting onWaiting)
    : Loop(loop), OnWaiting(std::move(onWaiting)) {}

THTTPListener::~THTTPListener() {
  Close();
}

namespace {

// A non-blocking socket for the address (empty: every IPv6 and IPv4 address, or every IPv4 address on a
// kernel without IPv6) and the port, with its socket address; -1 with the error when there is none.
int ListeningSocket(const std::string& address, uint16_t port, sockaddr_storage& addr, socklen_t& length,
                    std::string& error) {
  int fd = -1;
  if (address.empty()) {
    fd = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      int off = 0;
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      auto& a6 = reinterpret_cast<sockaddr_in6&>(addr);
      a6.sin6_family = AF_INET6;
      a6.sin6_addr = in6addr_any;
      a6.sin6_port = htons(port);
      length = sizeof a6;
      return fd;
    }
  }
  auto& a4 = reinterpret_cast<sockaddr_in&>(addr);
  a4.sin_family = AF_INET;
  a4.sin_port = htons(port);
  a4.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && inet_pton(AF_INET, address.c_str(), &a4.sin_addr) != 1) {
    error = "not an IPv4 address: " + address;
    return -1;
  }
  length = sizeof a4;
  fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) error = SystemError("socket");
  return fd;
}

} // namespace

bool THTTPListener::Open(const std::string& address, uint16_t port, int backlog, std::string& error) {
  Close();
  sockaddr_storage addr = {};
  socklen_t length = 0;
  const int fd = ListeningSocket(address, port, addr, length, error);
  if (fd < 0) return false;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    error = SystemError("bind");
    close(fd);
    return false;
  }
  if (listen(fd, backlog) != 0) {
    error = SystemError("listen");
    close(fd);
    return false;
  }
  auto* poll = new uv_poll_t;
  const int status = uv_poll_init_socket(Loop, poll, fd);
  if (status != 0) {
    delete poll; // never initialised: nothing to close
    close(fd);
    error = std::string("poll: ") + uv_strerror(status);
    return false;
  }
  Fd = fd;
  Poll.reset(poll);
  Retry.reset(new uv_timer_t);
  uv_timer_init(Loop, Retry.get());
  Poll->data = Retry->data = this;
  Wanted = Watching = Resting = false;
  return true;
}

// The handles are closed before the socket, as libuv wants; their memory goes on the loop's next turn.
void THTTPListener::Close() {
  Poll.reset();
  Retry.reset();
  if (Fd >= 0) close(Fd);
  Fd = -1;
  Wanted = Watching = Resting = false;
}

void THTTPListener::Resume() {
  Wanted = true;
  Update();
}

void THTTPListener::Pause() {
  Wanted = false;
  Update();
}

void THTTPListener::Update() {
  const bool watch = Poll && Wanted && !Resting;
  if (watch == Watching) return;
  if (watch)
    Watching = uv_poll_start(Poll.get(), UV_READABLE, OnReadable) == 0;
  else
    Watching = uv_poll_stop(Poll.get()) != 0;
}

bool THTTPListener::Accept(TAcceptedClient& client) {
  if (Fd < 0) return false;
  sockaddr_storage addr = {};
  socklen_t length = sizeof addr;
  int fd;
  do {
    fd = accept4(Fd, reinterpret_cast<sockaddr*>(&addr), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // The client stays in the queue; polling on would only spin until a descriptor is free.
      Resting = true;
      Update();
      uv_timer_start(Retry.get(), OnRetry, RetryMs, 0);
    }
    return false;
  }
  client.Fd = fd;
  client.Peer = PeerText(addr);
  return true;
}

void THTTPListener::OnReadable(uv_poll_t* handle, int status, int) {
  auto* self = static_cast<THTTPListener*>(handle->data);
  if (self && status == 0 && self->OnWaiting) self->OnWaiting();
}

void THTTPListener::OnRetry(uv_timer_t* handle) {
  auto* self = static_cast<THTTPListener*>(handle->data);
  if (!self) return;
  self->Resting = false;
  self->Update();
}

} // namespace Qel_proto_http
