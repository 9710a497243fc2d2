// The command line of nmos-bridge ("/box", "/port", "/if", "/registry", "/system", the TLS and authorization
// options)
// and the fixed record that configures the HTTP server. There is no configuration file.
#pragma once

#include "Srv_BaseConfig.h"

#include <cstdint>
#include <string>
#include <vector>

struct lws_protocols;

extern const CLASSID QELWS_CONFIG_NMOS;

// A registry named on the command line: its Registration API is at "http://HOST:PORT/x-nmos/registration".
struct TRegistryAddress {
  std::string Host;
  uint16_t Port = 0;
  bool operator==(const TRegistryAddress& other) const { return Host == other.Host && Port == other.Port; }
};

// A certificate chain and its private key (PEM files), given as "/tls-cert FILE /tls-key FILE".
struct TTLSCertificate {
  std::string ChainFile;
  std::string KeyFile;
  bool operator==(const TTLSCertificate& other) const {
    return ChainFile == other.ChainFile && KeyFile == other.KeyFile;
  }
};

// Where registries are looked for: unicast DNS-SD in the DNS-SD domain and multicast DNS in .local
// ("/dns-sd both", the default; unicast instances of a type are preferred when there are any), or
// only one of them.
enum class TDNSSDMode { Both, Unicast, Multicast };

// The APIs of the node that ask for an access token ("/auth node,connection").
enum TProtectedAPI : unsigned { ProtectNone = 0, ProtectNodeAPI = 1, ProtectConnectionAPI = 2 };

class IQELNMOSConfig {
public:
  virtual ~IQELNMOSConfig() = default;
  virtual uint16_t GetAES67FWPort() const = 0;
  virtual std::string GetAES67FWAddr() const = 0;
  virtual uint16_t GetBridgePort() const = 0;
  // Null when no interface was given.
  virtual const char* GetBridgeInterface() const = 0;
  virtual std::string GetBridgeAddress() const = 0;
  // Registries named with "/registry HOST:PORT", in the order given.
  virtual const std::vector<TRegistryAddress>& GetRegistries() const = 0;
  // The server's certificates; with one, every API the node serves and uses is HTTPS (and wss).
  virtual const std::vector<TTLSCertificate>& GetTLSCertificates() const = 0;
  bool Secure() const { return !GetTLSCertificates().empty(); }
  // Whether senders' transport files are served by the node itself: over TLS, or behind tokens, the
  // firmware's plain and open copy is no place to send a client to.
  bool ServesTransportFiles() const { return Secure() || (GetProtectedAPIs() & ProtectConnectionAPI) != 0; }
  // "/tls-ca FILE": the CAs a registry's, query API's or authorization server's certificate is checked
  // against; empty: the system's.
  virtual const std::string& GetTLSCAFile() const = 0;
  // Bits of TProtectedAPI.
  virtual unsigned GetProtectedAPIs() const = 0;
  // "/auth-server URL": empty when the authorization server is to be found by DNS-SD.
  virtual const std::string& GetAuthServer() const = 0;
  // "/auth-credentials FILE": where the node keeps its client registration.
  virtual const std::string& GetAuthCredentialsFile() const = 0;
  // "/hsts SECONDS": the max-age of the Strict-Transport-Security header an HTTPS node sends; 0: none.
  virtual uint32_t GetHSTSMaxAge() const = 0;
  // "/dns-sd MODE".
  virtual TDNSSDMode GetDNSSDMode() const = 0;
  // "/dns-sd-domain NAME", else the first search domain of the resolver configuration; empty: none
  // (no unicast browsing).
  virtual const std::string& GetDNSSDDomain() const = 0;
  // "/dns-server ADDR[:PORT]" as "ADDR:PORT"; empty: the servers of the resolver configuration.
  virtual const std::string& GetDNSServer() const = 0;
  // The resolver configuration read: /etc/resolv.conf, or the file $QEL_RESOLV_CONF names.
  virtual const std::string& GetResolvConf() const = 0;
  // "/system URL": the IS-09 System API to take the system's settings from (empty: only those found by
  // DNS-SD).
  virtual const std::string& GetSystemAPI() const {
    static const std::string none;
    return none;
  }
  // "/system-refresh SECONDS": how often the System API's global configuration is fetched again.
  virtual uint32_t GetSystemRefresh() const { return 60; }
};

struct TQELNMOSConfigData {
  uint16_t Port = 80;             // firmware service websocket port
  std::string Addr = "127.0.0.1"; // firmware service host
  std::string BridgeInterface;    // interface the node advertises
  std::string BridgeAddr;         // its dotted IPv4 address
  uint16_t ListenPort = 9001;     // the bridge's HTTP server
  std::vector<TRegistryAddress> Registries;
  std::vector<TTLSCertificate> Certificates; // the server's, one per key type (RSA, ECDSA)
  std::string TLSCAFile;                     // the CAs that peers' certificates are checked against
  unsigned ProtectedAPIs = ProtectNone;
  std::string AuthServer;         // the authorization server's base URL, when not found by DNS-SD
  std::string AuthCredentials;    // the node's OAuth client credentials, readable by root only
  uint32_t HSTSMaxAge = 31536000; // a year
  TDNSSDMode DNSSDMode = TDNSSDMode::Both;
  std::string DNSSDDomain;
  std::string DNSServer;
  std::string ResolvConf;
  std::string SystemAPI;       // "/system URL"
  uint32_t SystemRefresh = 60; // seconds
};

class TQELNMOSConfig : public TQELWebServerConfig, public IQELNMOSConfig {
public:
  TQELNMOSConfig(int argc, char** argv);
  ~TQELNMOSConfig() override;
  TQELNMOSConfig(const TQELNMOSConfig&) = delete;
  TQELNMOSConfig& operator=(const TQELNMOSConfig&) = delete;

  void* As(const CLASSID& id) override;
  const void* As(const CLASSID& id) const override;

  uint16_t GetAES67FWPort() const override { return FData->Port; }
  std::string GetAES67FWAddr() const override { return FData->Addr; }
  uint16_t GetBridgePort() const override { return FData->ListenPort; }
  const char* GetBridgeInterface() const override {
    return FData->BridgeInterface.empty() ? nullptr : FData->BridgeInterface.c_str();
  }
  std::string GetBridgeAddress() const override { return FData->BridgeAddr; }
  const std::vector<TRegistryAddress>& GetRegistries() const override { return FData->Registries; }
  const std::vector<TTLSCertificate>& GetTLSCertificates() const override { return FData->Certificates; }
  const std::string& GetTLSCAFile() const override { return FData->TLSCAFile; }
  unsigned GetProtectedAPIs() const override { return FData->ProtectedAPIs; }
  const std::string& GetAuthServer() const override { return FData->AuthServer; }
  const std::string& GetAuthCredentialsFile() const override { return FData->AuthCredentials; }
  uint32_t GetHSTSMaxAge() const override { return FData->HSTSMaxAge; }
  TDNSSDMode GetDNSSDMode() const override { return FData->DNSSDMode; }
  const std::string& GetDNSSDDomain() const override { return FData->DNSSDDomain; }
  const std::string& GetDNSServer() const override { return FData->DNSServer; }
  const std::string& GetResolvConf() const override { return FData->ResolvConf; }
  const std::string& GetSystemAPI() const override { return FData->SystemAPI; }
  uint32_t GetSystemRefresh() const override { return FData->SystemRefresh; }

private:
  void Scan();
  TQELNMOSConfigData* FData;
};

// "ADDR" or "ADDR:PORT" (dotted IPv4; port 53 when absent) as "ADDR:PORT"; false when malformed.
bool ParseDNSServer(const std::string& text, std::string& out);

// The HTTP server's setup: a plain record, copied as a whole.
struct TQELNMOS_LWSSetup {
  char NMOSPath[1024] = {};
  char resource_path[1024];
  char cert_path[1024];
  char key_path[1024];
  char ca_path[1024];
  char interface_name[128];
  char ThreadName[32];
  uint32_t ms = 0, oldms = 0;
  int uid, gid;
  int use_ssl;
  int pp_secs;
  int LWSOptions;
  const lws_protocols* Protocols;

  explicit TQELNMOS_LWSSetup(const lws_protocols* protocols = nullptr);
  TQELNMOS_LWSSetup(const TQELNMOS_LWSSetup&) = default;
  TQELNMOS_LWSSetup& operator=(const TQELNMOS_LWSSetup&) = default;

  void Reset();
  void SetProtocols(const lws_protocols* protocols) { Protocols = protocols; }
  bool Validate() const;
  bool AutoComplete();
};

// The program's single setup record, built on first use.
TQELNMOS_LWSSetup& GetLWSSetup();
