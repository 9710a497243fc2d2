// The node's IS-09 System API client: it finds System APIs (DNS-SD "_nmos-system._tcp", multicast or
// unicast, and "/system URL"), fetches the global configuration from the most preferred one that answers
// and applies it: the registration's heartbeat interval, the syslog collector the log lines go to, and
// the PTP settings and system id shown in the node's statistics.
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>

namespace Qel_nmos_bridge {

class IQELNMOSBridge;

class IQELSystemClient {
public:
  // Runs on the bridge's service loop; starts with the "/system" URL of the command line, if any.
  static IQELSystemClient* Create(IQELNMOSBridge* bridge);
  virtual void Destroy() = 0;

  // A System API found by DNS-SD under its instance name: its address and port, the host name its
  // URLs carry when it is reached by name (pinned to the address; empty: the address), and its
  // priority (lower is preferred). The same name again replaces what it said.
  virtual void AddSystemAPI(const std::string& name, const std::string& address, uint16_t port,
                            const std::string& host, uint16_t prio) = 0;
  virtual void DelSystemAPI(const std::string& name) = 0;

  // Fills stats[section] with what the system set and where it came from.
  virtual void UpdateStats(const char* section, json& stats) = 0;

protected:
  virtual ~IQELSystemClient() = default;
};

} // namespace Qel_nmos_bridge
