// The addresses the node advertises: its own API, the firmware service's URLs (SDP files, status
// service). On the device the firmware service listens on a loopback address, which no controller
// can reach; such URLs name the node's own address instead.
#include "BridgeDocs.h"
#include "HostAddress.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"

namespace Qel_nmos_bridge {

namespace {

const char* const ReportedAddressPath = "/intern/ip";

bool IsLoopback(const std::string& host) {
  if (host == "localhost") return true;
  THostAddress address(host);
  return !address.IsNull() && (address.ToIp4Host() >> 24) == 127;
}

} // namespace

std::string TQELNMOSBridge::ReportedAddress() {
  const json& ip = Data().Get(ReportedAddressPath);
  return ip.is_string() ? ip.get<std::string>() : std::string();
}

std::string TQELNMOSBridge::NodeAddress() {
  std::string configured = BoxConfig()->GetBridgeAddress();
  if (!configured.empty() && configured != "0.0.0.0") return configured;
  return ReportedAddress();
}

std::string TQELNMOSBridge::APIScheme() const {
  return FBoxConfig->Secure() ? "https" : "http";
}

std::string TQELNMOSBridge::FirmwareURL(const std::string& path) {
  const IQELNMOSConfig* cfg = BoxConfig();
  std::string host = cfg->GetAES67FWAddr();
  if (IsLoopback(host)) {
    std::string own = NodeAddress();
    if (!own.empty()) host = own;
  }
  const int port = cfg->GetAES67FWPort();
  return "http://" + host + (port == 80 ? "" : ":" + std::to_string(port)) + path;
}

} // namespace Qel_nmos_bridge
