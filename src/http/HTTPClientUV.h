// The HTTP client on the worker's libuv loop: every socket libcurl uses is a poll handle of the loop
// and libcurl's timeout a loop timer, so transfers advance exactly when something is due and the
// loop never waits inside libcurl.
#pragma once

#include "HTTPClient.h"
#include "uv_unique_ptr.h"

#include <map>
#include <memory>

namespace Qel_http {

class TQELCurlWrapperUV : public TQELCurlWrapper {
public:
  TQELCurlWrapperUV(IQELCurlWrapperClient* owner, uv_loop_t* loop);

  // Advances what is due without waiting.
  int DoCycle(int TimeoutMS) override;

protected:
  ~TQELCurlWrapperUV() override;

private:
  using TPoll = std::unique_ptr<uv_poll_t, uv_delete<uv_poll_t>>;

  static int SocketHook(CURL* easy, curl_socket_t socket, int what, void* client, void* socketData);
  static int TimerHook(CURLM* multi, long timeoutMs, void* client);
  static void OnPoll(uv_poll_t* handle, int status, int events);
  static void OnTimer(uv_timer_t* handle);
  void Act(curl_socket_t socket, int events);

  uv_loop_t* UVLoop;
  uv_timer_ptr UVTimer;
  std::map<curl_socket_t, TPoll> Polls;
};

} // namespace Qel_http
