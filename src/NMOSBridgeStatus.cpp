#include "NMOSBridgeStatus.h"

#include "LogHistory.h"
#include "NMOSBridge.h"
#include "NMOSBridgeConfig.h"
#include "NMOSRegClient.h"

#include <ctime>
#include <string>

namespace Qel_nmos_bridge {

namespace {

constexpr uint64_t SampleMilliseconds = 1000;

int64_t WallSeconds() {
  return static_cast<int64_t>(time(nullptr));
}

const char* RegistrationText(int state) {
  switch (static_cast<TRegistrationState>(state)) {
  case TRegistrationState::Registered:
    return "registered";
  case TRegistrationState::Registering:
    return "registering";
  default:
    return "unregistered";
  }
}

const char* FirmwareText(int state) {
  switch (state) {
  case Qel_websock_api::fwsConnected:
    return "connected";
  case Qel_websock_api::fwsConnecting:
    return "connecting";
  default:
    return "offline";
  }
}

// Whether the endpoint is one named with "/registry" (kept under "HOST:PORT"), not found by DNS-SD.
bool NamedOnCommandLine(const IQELNMOSConfig* config, const json& api) {
  if (!config) return false;
  const std::string name = api.value("name", "");
  for (const TRegistryAddress& registry : config->GetRegistries())
    if (name == registry.Host + ":" + std::to_string(registry.Port)) return true;
  return false;
}

} // namespace

TBridgeStatus::TBridgeStatus(uv_loop_t* loop, TQELNMOSBridge& bridge)
    : Bridge(bridge), Timer(new uv_timer_t) {
  Timer->data = this;
  uv_timer_init(loop, Timer);
  uv_unref(reinterpret_cast<uv_handle_t*>(Timer));
  uv_timer_start(
      Timer, [](uv_timer_t* t) { static_cast<TBridgeStatus*>(t->data)->Sample(); }, 0, SampleMilliseconds);
}

TBridgeStatus::~TBridgeStatus() {
  uv_timer_stop(Timer);
  uv_close(reinterpret_cast<uv_handle_t*>(Timer),
           [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
}

void TBridgeStatus::Sample() {
  const int64_t now = WallSeconds();
  Registration.Note(static_cast<int>(Bridge.RegClient().RegistrationState()), now);
  Firmware.Note(static_cast<int>(Bridge.AESFWClient().GetStatus()), now);
}

json TBridgeStatus::Report() {
  Sample();
  const IQELNMOSConfig* config = Bridge.BoxConfig();
  json registries = Bridge.RegClient().AsBC().ListAPIs();
  json inUse = nullptr;
  for (json& api : registries) {
    api["origin"] = NamedOnCommandLine(config, api) ? "command line" : "DNS-SD";
    if (api.value("in_use", false)) inUse = api["url"];
  }
  json report = {
      {"time", WallSeconds()},
      {"registration",
       {{"state", RegistrationText(Registration.State)}, {"since", Registration.Since}, {"registry", inUse}}},
      {"registries", std::move(registries)},
      {"firmware",
       {{"state", FirmwareText(Firmware.State)},
        {"connected", Firmware.State == Qel_websock_api::fwsConnected},
        {"since", Firmware.Since},
        {"address", config ? config->GetAES67FWAddr() + ":" + std::to_string(config->GetAES67FWPort())
                           : std::string()}}}};
  // Log lines may name resources and peers: where the Node API needs a token they are not shown to
  // anyone without one, so they are left out.
  if (config && (config->GetProtectedAPIs() & ProtectNodeAPI)) {
    report["errors_hidden"] = true;
    return report;
  }
  json errors = json::array();
  const std::vector<Qel_log::TLogEntry> lines = Qel_log::LogHistoryRecent();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    errors.push_back({{"time", it->Time}, {"level", it->Error ? "error" : "warning"}, {"text", it->Text}});
  report["errors"] = std::move(errors);
  return report;
}

} // namespace Qel_nmos_bridge
