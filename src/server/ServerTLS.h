// The TLS side of the node's HTTP server: the certificate chains and keys it presents (one pair per key
// type, RSA and ECDSA side by side), the protocol versions and cipher suites it allows, and the watch on
// the certificate files that puts new ones into service without a restart.
#pragma once

#include "NMOSBridgeConfig.h"

#include <openssl/ssl.h>
#include <uv.h>

#include <string>
#include <vector>

namespace Qel_proto_http {

struct TServerTLSData;

class IServerTLS {
public:
  static IServerTLS* Create(const std::vector<::TTLSCertificate>& pairs);
  virtual void Destroy() = 0;
  // Reads every chain and key from their files and checks that each key belongs to its certificate;
  // false with `error` naming the file and the reason.
  virtual bool Load(std::string& error) = 0;
  // Restricts `ctx` to TLS 1.2 and 1.3 with the allowed cipher suites in the server's order of
  // preference, and puts the loaded pairs into it.
  virtual bool Configure(SSL_CTX* ctx, std::string& error) = 0;
  // Looks at the files every `intervalMs` on `loop`; once changed files have stayed the same for one look,
  // loads them into the context given to Configure, for the handshakes to come. Files that do not load
  // leave the pairs in service as they are (one error line per change).
  virtual void Watch(uv_loop_t* loop, unsigned intervalMs) = 0;
  // Stops the watch (the loop closes its timer on its next turn).
  virtual void StopWatch() = 0;
  virtual uint64_t Reloads() const = 0;
  virtual uint64_t ReloadFailures() const = 0;

  // The cipher suites allowed with TLS 1.2 (ECDHE only, AES-GCM and CHACHA20-POLY1305) and with TLS 1.3,
  // in the server's order of preference.
  static const char* const TLS12Ciphers;
  static const char* const TLS13Ciphersuites;

protected:
  virtual ~IServerTLS() = default;
};

} // namespace Qel_proto_http
