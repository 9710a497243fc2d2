#include "NMOSBridgeConfig.h"

#include "UnicastBrowser.h"
#include "helpers.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

const CLASSID QELWS_CONFIG_NMOS = "QELWS_CONFIG_NMOS";

namespace {

bool IsOption(const std::string& arg, const char* option) {
  return strncmp(arg.c_str(), option, strlen(option)) == 0;
}

uint16_t ToPort(const char* text) {
  return static_cast<uint16_t>(atoi(text));
}

// "HOST:PORT" with a port from 1 to 65535.
bool ParseHostPort(const std::string& text, TRegistryAddress& out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  long value = strtol(port.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return false;
  out.Host = text.substr(0, colon);
  out.Port = static_cast<uint16_t>(value);
  return true;
}

// "node", "connection" or both, separated by commas; false for any other word.
bool ParseProtectedAPIs(const std::string& text, unsigned& result) {
  unsigned out = ProtectNone;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string word = text.substr(start, comma - start);
    if (word == "node")
      out |= ProtectNodeAPI;
    else if (word == "connection")
      out |= ProtectConnectionAPI;
    else if (!(word == "none" && text == "none"))
      return false;
    start = comma + 1;
  }
  result = out;
  return true;
}

} // namespace

bool ParseDNSServer(const std::string& text, std::string& out) {
  std::string addr = text, port = "53";
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    addr = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      return false;
    const long value = strtol(port.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) return false;
    port = std::to_string(value);
  }
  in_addr parsed{};
  if (inet_pton(AF_INET, addr.c_str(), &parsed) != 1) return false;
  out = addr + ":" + port;
  return true;
}

TQELNMOSConfig::TQELNMOSConfig(int argc, char** argv)
    : TQELWebServerConfig(argc, argv), FData(new TQELNMOSConfigData) {
  Scan();
}

TQELNMOSConfig::~TQELNMOSConfig() {
  delete FData;
}

void* TQELNMOSConfig::As(const CLASSID& id) {
  if (id == QELWS_CONFIG_NMOS) return static_cast<IQELNMOSConfig*>(this);
  return TQELWebServerConfig::As(id);
}

const void* TQELNMOSConfig::As(const CLASSID& id) const {
  if (id == QELWS_CONFIG_NMOS) return static_cast<const IQELNMOSConfig*>(this);
  return TQELWebServerConfig::As(id);
}

// Options begin with a slash; each takes the next argument as its value. The last occurrence wins,
// except for "/registry", which names one more registry each time, and "/tls-cert" and "/tls-key", which
// name one more certificate and its key each time (paired in the order given).
void TQELNMOSConfig::Scan() {
  std::vector<std::string> chains, keys;
  std::string domain;
  bool badServer = false;
  for (size_t i = 0; i + 1 < Args.size(); ++i) {
    const std::string& arg = Args[i];
    const std::string& value = Args[i + 1];
    if (arg == "/tls-cert") {
      chains.push_back(value);
    } else if (arg == "/tls-key") {
      keys.push_back(value);
    } else if (arg == "/tls-ca") {
      FData->TLSCAFile = value;
    } else if (arg == "/auth") {
      if (!ParseProtectedAPIs(value, FData->ProtectedAPIs)) {
        FData->ProtectedAPIs = ProtectNone;
        lws_log(QLLL_WARN, "/auth %s ignored: node, connection or both (node,connection) expected",
                value.c_str());
      }
    } else if (arg == "/system") {
      FData->SystemAPI = value;
    } else if (arg == "/system-refresh") {
      char* end = nullptr;
      errno = 0;
      const unsigned long long seconds = strtoull(value.c_str(), &end, 10);
      if (value.empty() || !isdigit(static_cast<unsigned char>(value[0])) || *end || errno || seconds < 1 ||
          seconds > 86400)
        lws_log(QLLL_WARN, "/system-refresh %s ignored: a number of seconds from 1 to 86400 expected",
                value.c_str());
      else
        FData->SystemRefresh = static_cast<uint32_t>(seconds);
    } else if (arg == "/auth-server") {
      FData->AuthServer = value;
    } else if (arg == "/auth-credentials") {
      FData->AuthCredentials = value;
    } else if (arg == "/hsts") {
      char* end = nullptr;
      errno = 0;
      const unsigned long long seconds = strtoull(value.c_str(), &end, 10);
      if (value.empty() || !isdigit(static_cast<unsigned char>(value[0])) || *end || errno ||
          seconds > UINT32_MAX)
        lws_log(QLLL_WARN, "/hsts %s ignored: a number of seconds expected (0: no header)", value.c_str());
      else
        FData->HSTSMaxAge = static_cast<uint32_t>(seconds);
    } else if (IsOption(arg, "/box")) {
      size_t colon = value.find(':');
      if (colon == std::string::npos) {
        FData->Addr = value;
      } else {
        FData->Addr = value.substr(0, colon);
        FData->Port = ToPort(value.c_str() + colon + 1);
      }
    } else if (IsOption(arg, "/port")) {
      FData->ListenPort = ToPort(value.c_str());
    } else if (IsOption(arg, "/registry")) {
      TRegistryAddress registry;
      if (!ParseHostPort(value, registry))
        lws_log(QLLL_WARN, "/registry %s ignored: HOST:PORT expected", value.c_str());
      else if (std::find(FData->Registries.begin(), FData->Registries.end(), registry) ==
               FData->Registries.end())
        FData->Registries.push_back(registry);
    } else if (arg == "/dns-sd") {
      if (value == "both")
        FData->DNSSDMode = TDNSSDMode::Both;
      else if (value == "unicast")
        FData->DNSSDMode = TDNSSDMode::Unicast;
      else if (value == "multicast")
        FData->DNSSDMode = TDNSSDMode::Multicast;
      else
        lws_log(QLLL_WARN, "/dns-sd %s ignored: both, unicast or multicast expected", value.c_str());
    } else if (arg == "/dns-sd-domain") {
      domain = value;
      while (!domain.empty() && domain.back() == '.')
        domain.pop_back();
    } else if (arg == "/dns-server") {
      if (!ParseDNSServer(value, FData->DNSServer)) {
        FData->DNSServer.clear();
        badServer = true;
        lws_log(QLLL_WARN, "/dns-server %s ignored: an IPv4 address and an optional port expected",
                value.c_str());
      }
    } else if (IsOption(arg, "/if")) {
      FData->BridgeInterface = value;
      uint32_t addr = GetInterfaceAddr(value.c_str());
      const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
      char text[16];
      snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
      FData->BridgeAddr = text;
    }
  }
  if (chains.size() != keys.size())
    lws_log(QLLL_WARN, "%zu /tls-cert but %zu /tls-key: only pairs are used", chains.size(), keys.size());
  for (size_t i = 0; i < chains.size() && i < keys.size(); ++i) {
    const TTLSCertificate certificate{chains[i], keys[i]};
    if (std::find(FData->Certificates.begin(), FData->Certificates.end(), certificate) ==
        FData->Certificates.end())
      FData->Certificates.push_back(certificate);
  }
  const char* resolvConf = getenv("QEL_RESOLV_CONF");
  FData->ResolvConf = resolvConf ? resolvConf : "/etc/resolv.conf";
  if (domain.empty()) {
    std::ifstream file(FData->ResolvConf);
    std::stringstream text;
    text << file.rdbuf();
    domain = Qel_nmos_bridge::SearchDomainOf(text.str());
  }
  FData->DNSSDDomain = domain;
  // A named server that cannot be used never lets the resolver's own servers be asked instead.
  if (badServer && FData->DNSServer.empty()) FData->DNSSDDomain.clear();
  if (FData->AuthCredentials.empty()) FData->AuthCredentials = "/var/lib/nmos-bridge/auth-client.json";
}

TQELNMOS_LWSSetup::TQELNMOS_LWSSetup(const lws_protocols* protocols) {
  Reset();
  SetProtocols(protocols);
  Validate();
}

void TQELNMOS_LWSSetup::Reset() {
  snprintf(resource_path, sizeof resource_path, "%s", "/var/tmp/x-nmos/node/v1.2");
  cert_path[0] = key_path[0] = ca_path[0] = interface_name[0] = 0;
  snprintf(ThreadName, sizeof ThreadName, "%s", "NMOSBridgeWorker");
  uid = gid = -1;
  use_ssl = 0;
  pp_secs = 0;
  LWSOptions = 0;
  Protocols = nullptr;
}

bool TQELNMOS_LWSSetup::Validate() const {
  if (!ThreadName[0]) {
    lws_log(QLLL_ERR, "No threadname specified");
    return false;
  }
  if (use_ssl && strlen(resource_path) > 992) {
    lws_log(QLLL_ERR, "%s CfgValidation ERR Resource path too long", ThreadName);
    return false;
  }
  return true;
}

bool TQELNMOS_LWSSetup::AutoComplete() {
  if (!ThreadName[0]) snprintf(ThreadName, sizeof ThreadName, "Thread%04d", 1);
  if (!interface_name[0]) snprintf(interface_name, sizeof interface_name, "%s", "eth1");
  if (use_ssl) {
    if (!cert_path[0]) snprintf(cert_path, sizeof cert_path, "%.992scert.pem", resource_path);
    if (!key_path[0]) snprintf(key_path, sizeof key_path, "%.992skey.pem", resource_path);
    LWSOptions |= 0x1000;
  }
  return true;
}

TQELNMOS_LWSSetup& GetLWSSetup() {
  static TQELNMOS_LWSSetup SingleThreadConfig(nullptr);
  return SingleThreadConfig;
}
