#include "HTTPClientUV.h"

#include "helpers.h"

namespace Qel_http {

TQELCurlWrapperUV::TQELCurlWrapperUV(IQELCurlWrapperClient* owner, uv_loop_t* loop)
    : TQELCurlWrapper(owner), UVLoop(loop), UVTimer(new uv_timer_t) {
  uv_timer_init(UVLoop, UVTimer.get());
  UVTimer->data = this;
  curl_multi_setopt(Multi(), CURLMOPT_SOCKETFUNCTION, &TQELCurlWrapperUV::SocketHook);
  curl_multi_setopt(Multi(), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(Multi(), CURLMOPT_TIMERFUNCTION, &TQELCurlWrapperUV::TimerHook);
  curl_multi_setopt(Multi(), CURLMOPT_TIMERDATA, this);
}

TQELCurlWrapperUV::~TQELCurlWrapperUV() {
  // libcurl gives its sockets back through the hooks while it ends transfers and closes connections:
  // that happens here, while the poll handles and the timer still exist.
  AbortAll();
  CleanupMulti();
  Polls.clear();
}

int TQELCurlWrapperUV::DoCycle(int) {
  int running = 0;
  if (!Multi()) return 0;
  curl_multi_socket_action(Multi(), CURL_SOCKET_TIMEOUT, 0, &running);
  DrainFinished();
  return running;
}

void TQELCurlWrapperUV::Act(curl_socket_t socket, int events) {
  int running = 0;
  if (!Multi()) return;
  CURLMcode code = curl_multi_socket_action(Multi(), socket, events, &running);
  if (code != CURLM_OK)
    lws_log(QLLL_CURL_BASE | QLLL_ERR, "CURL: curl_multi failed: %d", static_cast<int>(code));
  DrainFinished();
}

int TQELCurlWrapperUV::SocketHook(CURL*, curl_socket_t socket, int what, void* client, void*) {
  auto* self = static_cast<TQELCurlWrapperUV*>(client);
  if (what == CURL_POLL_REMOVE) {
    self->Polls.erase(socket); // stops polling before libcurl closes the socket
    return 0;
  }
  TPoll& poll = self->Polls[socket];
  if (!poll) {
    poll.reset(new uv_poll_t);
    if (uv_poll_init_socket(self->UVLoop, poll.get(), socket) != 0) {
      // Never initialised: nothing to close, only to free.
      delete poll.release();
      self->Polls.erase(socket);
      return -1;
    }
    poll->data = self;
  }
  int events = 0;
  if (what & CURL_POLL_IN) events |= UV_READABLE;
  if (what & CURL_POLL_OUT) events |= UV_WRITABLE;
  uv_poll_start(poll.get(), events, &TQELCurlWrapperUV::OnPoll);
  return 0;
}

int TQELCurlWrapperUV::TimerHook(CURLM*, long timeoutMs, void* client) {
  auto* self = static_cast<TQELCurlWrapperUV*>(client);
  if (timeoutMs < 0)
    uv_timer_stop(self->UVTimer.get());
  else
    uv_timer_start(self->UVTimer.get(), &TQELCurlWrapperUV::OnTimer, static_cast<uint64_t>(timeoutMs), 0);
  return 0;
}

void TQELCurlWrapperUV::OnPoll(uv_poll_t* handle, int status, int events) {
  auto* self = static_cast<TQELCurlWrapperUV*>(handle->data);
  if (!self) return;
  int flags = 0;
  if (status < 0) flags |= CURL_CSELECT_ERR;
  if (events & UV_READABLE) flags |= CURL_CSELECT_IN;
  if (events & UV_WRITABLE) flags |= CURL_CSELECT_OUT;
  uv_os_sock_t socket = -1;
  uv_fileno(reinterpret_cast<uv_handle_t*>(handle), reinterpret_cast<uv_os_fd_t*>(&socket));
  self->Act(socket, flags);
}

void TQELCurlWrapperUV::OnTimer(uv_timer_t* handle) {
  auto* self = static_cast<TQELCurlWrapperUV*>(handle->data);
  if (self) self->Act(CURL_SOCKET_TIMEOUT, 0);
}

IQELCurlWrapper* IQELCurlWrapper::Create(IQELCurlWrapperClient* client, uv_loop_t* loop) {
  return new TQELCurlWrapperUV(client, loop);
}

} // namespace Qel_http
