// The connection to the Avahi daemon. It survives restarts of the daemon: when the connection fails the
// daemon's start command is run (without waiting for it) and a new connection is made, after the
// browsers, resolvers and publishers using this client have been reset; once the daemon runs again they
// browse and publish again.
#pragma once

#include "Object.h"

#include <avahi-client/client.h>

#include <string>
#include <unordered_set>

struct TAvahiUvPoll;
class TAvahiBrowser;
class TAvahiResolver;
class TAvahiHostResolver;
class TAvahiPublisher;

// The command that (re)starts the Avahi daemon: the environment variable QEL_AVAHI_DAEMON_START when
// set (empty: none), else the device's init script.
std::string AvahiDaemonStartCommand();

class TAvahiClient : public TObject {
public:
  enum ClientStatus { Running = 0, Connecting = 1, Registering = 2, Collision = 3, Failure = 4 };

  explicit TAvahiClient(TObject* parent);
  explicit TAvahiClient(TThread* host);
  ~TAvahiClient() override;

  ClientStatus Status() const { return status; }
  AvahiClient* Handle() const { return client; }
  // How many times the daemon's start command has been run.
  unsigned DaemonStarts() const { return daemon_starts; }

  void Register(TAvahiPublisher* p) { publishers.insert(p); }
  void Unregister(TAvahiPublisher* p) { publishers.erase(p); }
  void Register(TAvahiBrowser* b) { browsers.insert(b); }
  void Unregister(TAvahiBrowser* b) { browsers.erase(b); }
  void Register(TAvahiResolver* r) { resolvers.insert(r); }
  void Unregister(TAvahiResolver* r) { resolvers.erase(r); }
  void Register(TAvahiHostResolver* r) { host_resolvers.insert(r); }
  void Unregister(TAvahiHostResolver* r) { host_resolvers.erase(r); }

  void HandleTimerEvent(uv_timer_t* timer) override;

private:
  void Init();
  void Reconnect();
  void OnRunning();
  void StartDaemon();
  // The bridge's log says when discovery goes off and when it comes back.
  void TellDaemonAbsent(int error);
  void TellDaemonRunning();
  static void avahi_client_callback(AvahiClient* c, AvahiClientState state, void* userdata);

  AvahiClient* client = nullptr;
  TAvahiUvPoll* poll_api = nullptr;
  std::unordered_set<TAvahiPublisher*> publishers;
  std::unordered_set<TAvahiBrowser*> browsers;
  std::unordered_set<TAvahiResolver*> resolvers;
  std::unordered_set<TAvahiHostResolver*> host_resolvers;
  ClientStatus status = Failure;
  // A failed connection is replaced on the next loop turn, never inside the library's own callback.
  uv_timer_ptr reconnect_timer;
  unsigned daemon_starts = 0;
  bool creation_failed = false; // the last attempt found no system bus
  bool told_absent = false;     // the log says discovery is off
};
