#include "AvahiClient.h"
#include "AvahiApi.h"
#include "AvahiBrowser.h"
#include "AvahiHostResolver.h"
#include "AvahiPublisher.h"
#include "AvahiResolver.h"
#include "AvahiUvPoll.h"
#include "helpers.h"

#include <avahi-common/error.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define QEL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QEL_THREAD_SANITIZER 1
#endif
#endif
#ifdef QEL_THREAD_SANITIZER
// libdbus takes two of its internal locks in one order when the connection is made and in the other when
// it closes a broken one; the lock order is libdbus's own business.
extern "C" const char* __tsan_default_suppressions() {
  return "deadlock:libdbus-1.so.3\n";
}
#endif

namespace {

const char* const DefaultDaemonStart = "/etc/init.d/S50avahi-daemon start";
const uint64_t RetryMs = 5000; // between attempts to reach a missing system bus

// Runs `command` through the shell in a session of its own; the loop is not held up, and the exit status
// is only collected.
void SpawnDetached(uv_loop_t* loop, const std::string& command) {
  auto* process = new uv_process_t;
  char sh[] = "/bin/sh", dash_c[] = "-c";
  std::string text = command;
  char* args[] = {sh, dash_c, text.data(), nullptr};
  uv_process_options_t options{};
  options.file = "/bin/sh";
  options.args = args;
  options.flags = UV_PROCESS_DETACHED;
  options.exit_cb = [](uv_process_t* p, int64_t, int) {
    uv_close(reinterpret_cast<uv_handle_t*>(p),
             [](uv_handle_t* h) { delete reinterpret_cast<uv_process_t*>(h); });
  };
  const int error = uv_spawn(loop, process, &options);
  if (error != 0) {
    lws_log(QLLL_ERR | QLLL_AVAHI, "Avahi daemon start command failed: %s", uv_strerror(error));
    uv_close(reinterpret_cast<uv_handle_t*>(process),
             [](uv_handle_t* h) { delete reinterpret_cast<uv_process_t*>(h); });
  }
}

template <typename T> std::vector<T*> Copy(const std::unordered_set<T*>& set) {
  return std::vector<T*>(set.begin(), set.end());
}

} // namespace

std::string AvahiDaemonStartCommand() {
  const char* env = getenv("QEL_AVAHI_DAEMON_START");
  return env ? env : DefaultDaemonStart;
}

TAvahiClient::TAvahiClient(TObject* parent) : TObject(parent) {
  Init();
}

TAvahiClient::TAvahiClient(TThread* host) : TObject(host) {
  Init();
}

TAvahiClient::~TAvahiClient() {
  if (client) AvahiApi().client_free(client);
  if (poll_api) avahi_uv_poll_free(poll_api);
}

void TAvahiClient::Init() {
  reconnect_timer = CreateTimer();
  poll_api = avahi_uv_poll_new(thread->Loop());
  if (!poll_api) {
    lws_log(QLLL_ERR | QLLL_AVAHI, "Avahi: no poll adapter on the loop, discovery is off");
    return;
  }
  Reconnect();
}

void TAvahiClient::Reconnect() {
  for (TAvahiPublisher* p : Copy(publishers))
    p->Reset();
  for (TAvahiBrowser* b : Copy(browsers))
    b->Reset();
  for (TAvahiResolver* r : Copy(resolvers))
    r->Reset();
  for (TAvahiHostResolver* r : Copy(host_resolvers))
    r->Reset();
  if (client) AvahiApi().client_free(client);
  client = nullptr;
  status = Failure;
  int error = 0;
  // The state callback runs already inside this call and sets `client`.
  AvahiClient* made =
      AvahiApi().client_new(&poll_api->poll_api, AVAHI_CLIENT_NO_FAIL, avahi_client_callback, this, &error);
  if (!made) {
    // Without a system bus there is nothing to wait for: try again a little later.
    TellDaemonAbsent(error);
    creation_failed = true;
    client = nullptr;
    StartTimer(reconnect_timer.get(), RetryMs, 0);
    return;
  }
  client = made;
  creation_failed = false;
}

// One line for each time the daemon goes out of reach, however often the client tries again meanwhile,
// and one when it is back.
void TAvahiClient::TellDaemonAbsent(int error) {
  if (told_absent) return;
  told_absent = true;
  lws_log(QLLL_WARN | QLLL_AVAHI,
          "Avahi daemon not reachable (%s): discovery is off until the daemon appears",
          avahi_strerror(error));
}

void TAvahiClient::TellDaemonRunning() {
  if (!told_absent) return;
  told_absent = false;
  lws_log(QLLL_WARN | QLLL_AVAHI, "Avahi daemon running: discovery is on again");
}

void TAvahiClient::OnRunning() {
  for (TAvahiPublisher* p : Copy(publishers))
    p->Publish();
  for (TAvahiBrowser* b : Copy(browsers))
    b->Browse();
}

void TAvahiClient::StartDaemon() {
  ++daemon_starts;
  const std::string command = AvahiDaemonStartCommand();
  if (!command.empty()) SpawnDetached(thread->Loop(), command);
}

void TAvahiClient::HandleTimerEvent(uv_timer_t* timer) {
  if (timer != reconnect_timer.get()) return;
  Reconnect();
}

void TAvahiClient::avahi_client_callback(AvahiClient* c, AvahiClientState state, void* userdata) {
  auto* self = static_cast<TAvahiClient*>(userdata);
  self->client = c;
  switch (state) {
  case AVAHI_CLIENT_S_REGISTERING:
    self->status = Registering;
    break;
  case AVAHI_CLIENT_S_RUNNING:
    self->status = Running;
    self->TellDaemonRunning();
    self->OnRunning();
    break;
  case AVAHI_CLIENT_S_COLLISION:
    self->status = Collision;
    break;
  case AVAHI_CLIENT_CONNECTING:
    // The bus is there but the daemon is not (yet): the library waits for it to appear.
    self->status = Connecting;
    self->TellDaemonAbsent(AVAHI_ERR_NO_DAEMON);
    break;
  case AVAHI_CLIENT_FAILURE:
    self->status = Failure;
    self->TellDaemonAbsent(c ? AvahiApi().client_errno(c) : AVAHI_ERR_DISCONNECTED);
    self->StartDaemon();
    // The library must not free the client from inside this callback: the next loop turn does.
    self->StartTimer(self->reconnect_timer.get(), 0, 0);
    break;
  }
}
