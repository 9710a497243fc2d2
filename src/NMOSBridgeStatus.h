// What the status page shows of the bridge beyond the Node API: the registration and the firmware link
// in plain words and since when, the registries known, and the last warnings and errors. The states
// are looked at once a second on the worker loop, so "since" is right to the second whether anyone
// asks or not; a report costs only the building of its JSON.
#pragma once

#include "Types.h"

#include <cstdint>
#include <uv.h>

namespace Qel_nmos_bridge {

class TQELNMOSBridge;

class TBridgeStatus {
public:
  // Runs on the bridge's service loop; `bridge` outlives it.
  TBridgeStatus(uv_loop_t* loop, TQELNMOSBridge& bridge);
  ~TBridgeStatus();
  TBridgeStatus(const TBridgeStatus&) = delete;
  TBridgeStatus& operator=(const TBridgeStatus&) = delete;

  // Notes the states as they are now (the timer calls it; a report does first).
  void Sample();
  // {"time", "registration": {"state", "since", "registry"}, "registries": [...], "firmware":
  // {"state", "connected", "since", "address"}, "errors": [...] or "errors_hidden": true}. Times are
  // seconds since the epoch.
  json Report();

private:
  struct TSince {
    int State = -1;
    int64_t Since = 0;
    void Note(int state, int64_t now) {
      if (state == State) return;
      State = state;
      Since = now;
    }
  };
  TQELNMOSBridge& Bridge;
  uv_timer_t* Timer; // freed by its close callback
  TSince Registration;
  TSince Firmware;
};

} // namespace Qel_nmos_bridge
