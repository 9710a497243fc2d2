#include "ServerTLS.h"

#include "helpers.h"
#include "uv_unique_ptr.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace Qel_proto_http {

const char* const IServerTLS::TLS12Ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
                                             "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256:"
                                             "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-CHACHA20-POLY1305";
const char* const IServerTLS::TLS13Ciphersuites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

namespace {

struct TX509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct TKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct TChainFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
struct TBIOFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using TX509Ptr = std::unique_ptr<X509, TX509Free>;
using TKeyPtr = std::unique_ptr<EVP_PKEY, TKeyFree>;
using TChainPtr = std::unique_ptr<STACK_OF(X509), TChainFree>;
using TBIOPtr = std::unique_ptr<BIO, TBIOFree>;

// A key file is never protected by a pass phrase here: nobody could type one, and asking on the
// terminal would stop the loop.
int NoPassphrase(char*, int, int, void*) {
  return -1;
}

std::string OpenSSLError() {
  unsigned long code = ERR_get_error();
  std::string text;
  while (code) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
    code = ERR_get_error();
  }
  return text.empty() ? "no PEM data" : text;
}

// What the watch compares: a file's identity, size and times (absent files included).
struct TFileStamp {
  bool Present = false;
  uint64_t Device = 0, Inode = 0;
  int64_t Size = 0, MTimeSec = 0, MTimeNsec = 0, CTimeSec = 0, CTimeNsec = 0;
  bool operator==(const TFileStamp& o) const {
    return Present == o.Present && Device == o.Device && Inode == o.Inode && Size == o.Size &&
           MTimeSec == o.MTimeSec && MTimeNsec == o.MTimeNsec && CTimeSec == o.CTimeSec &&
           CTimeNsec == o.CTimeNsec;
  }
};

TFileStamp Stamp(const std::string& path) {
  TFileStamp stamp;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return stamp;
  stamp.Present = true;
  stamp.Device = static_cast<uint64_t>(st.st_dev);
  stamp.Inode = static_cast<uint64_t>(st.st_ino);
  stamp.Size = static_cast<int64_t>(st.st_size);
  stamp.MTimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.MTimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  stamp.CTimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
  stamp.CTimeNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
  return stamp;
}

// Certificate and key files are small regular files; anything else (a device, a pipe, a huge file) would
// hold the loop while it is read.
constexpr off_t MaxFileSize = 1024 * 1024;

bool UsableFile(const std::string& path, const char* what, std::string& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = std::string("cannot read the ") + what + " file " + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > MaxFileSize) {
    error = std::string("the ") + what + " file " + path + " is no regular file of at most 1 MiB";
    return false;
  }
  return true;
}

// One chain and its key, read from their files.
struct TKeyPair {
  TX509Ptr Leaf;
  TChainPtr Chain; // the certificates after the leaf
  TKeyPtr Key;
};

bool ReadChain(const std::string& path, TKeyPair& pair, std::string& error) {
  if (!UsableFile(path, "certificate", error)) return false;
  ERR_clear_error();
  TBIOPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    error = "cannot read the certificate file " + path + ": " + strerror(errno);
    return false;
  }
  pair.Leaf.reset(PEM_read_bio_X509_AUX(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!pair.Leaf) {
    error = "no certificate in " + path + ": " + OpenSSLError();
    return false;
  }
  pair.Chain.reset(sk_X509_new_null());
  while (X509* next = PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr))
    sk_X509_push(pair.Chain.get(), next);
  // The end of the file is the expected way out of the loop; anything else is a damaged chain.
  const unsigned long last = ERR_peek_last_error();
  if (last && !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)) {
    error = "a damaged certificate in " + path + ": " + OpenSSLError();
    return false;
  }
  ERR_clear_error();
  return true;
}

bool ReadKey(const std::string& path, TKeyPair& pair, std::string& error) {
  if (!UsableFile(path, "key", error)) return false;
  ERR_clear_error();
  TBIOPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    error = "cannot read the key file " + path + ": " + strerror(errno);
    return false;
  }
  pair.Key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!pair.Key) {
    error = "no private key in " + path + " (PEM, without a pass phrase): " + OpenSSLError();
    return false;
  }
  return true;
}

bool ReadPair(const TTLSCertificate& files, TKeyPair& pair, std::string& error) {
  if (!ReadChain(files.ChainFile, pair, error) || !ReadKey(files.KeyFile, pair, error)) return false;
  ERR_clear_error();
  if (X509_check_private_key(pair.Leaf.get(), pair.Key.get()) != 1) {
    error = "the key in " + files.KeyFile + " does not belong to the certificate in " + files.ChainFile;
    ERR_clear_error();
    return false;
  }
  return true;
}

} // namespace

struct TServerTLSData {
  std::vector<TTLSCertificate> Files;
  std::vector<TKeyPair> Pairs; // loaded, not yet in a context
  SSL_CTX* Context = nullptr;  // the server's (owned by its libwebsockets vhost)
  uv_timer_ptr Timer;
  std::vector<TFileStamp> InService, LastLook, Failed;
  uint64_t Reloads = 0, ReloadFailures = 0;
};

class TServerTLS : public IServerTLS {
public:
  explicit TServerTLS(const std::vector<TTLSCertificate>& pairs) : FData(new TServerTLSData) {
    FData->Files = pairs;
  }
  ~TServerTLS() override { delete FData; }
  TServerTLS(const TServerTLS&) = delete;
  TServerTLS& operator=(const TServerTLS&) = delete;

  void Destroy() override { delete this; }
  bool Load(std::string& error) override;
  bool Configure(SSL_CTX* ctx, std::string& error) override;
  void Watch(uv_loop_t* loop, unsigned intervalMs) override;
  void StopWatch() override { FData->Timer.reset(); }
  uint64_t Reloads() const override { return FData->Reloads; }
  uint64_t ReloadFailures() const override { return FData->ReloadFailures; }

private:
  std::vector<TFileStamp> Stamps() const;
  bool LoadPairs(std::vector<TKeyPair>& pairs, std::string& error) const;
  bool Install(SSL_CTX* ctx, std::vector<TKeyPair>& pairs, std::string& error);
  void Look();
  static void OnTimer(uv_timer_t* handle);

  TServerTLSData* FData;
};

IServerTLS* IServerTLS::Create(const std::vector<TTLSCertificate>& pairs) {
  return new TServerTLS(pairs);
}

std::vector<TFileStamp> TServerTLS::Stamps() const {
  std::vector<TFileStamp> stamps;
  for (const TTLSCertificate& files : FData->Files) {
    stamps.push_back(Stamp(files.ChainFile));
    stamps.push_back(Stamp(files.KeyFile));
  }
  return stamps;
}

bool TServerTLS::LoadPairs(std::vector<TKeyPair>& pairs, std::string& error) const {
  pairs.clear();
  if (FData->Files.empty()) {
    error = "no certificate given";
    return false;
  }
  for (const TTLSCertificate& files : FData->Files) {
    pairs.emplace_back();
    if (!ReadPair(files, pairs.back(), error)) return false;
  }
  return true;
}

bool TServerTLS::Load(std::string& error) {
  // Stamped before reading: a file that changes while it is read is taken again by the watch.
  FData->InService = FData->LastLook = Stamps();
  return LoadPairs(FData->Pairs, error);
}

// Each pair takes the place of the context's pair of its key type; connections already open keep theirs.
bool TServerTLS::Install(SSL_CTX* ctx, std::vector<TKeyPair>& pairs, std::string& error) {
  for (size_t i = 0; i < pairs.size(); ++i) {
    TKeyPair& pair = pairs[i];
    ERR_clear_error();
    if (SSL_CTX_use_cert_and_key(ctx, pair.Leaf.get(), pair.Key.get(), pair.Chain.get(), 1) != 1) {
      error = "the certificate in " + FData->Files[i].ChainFile + " cannot be used: " + OpenSSLError();
      return false;
    }
  }
  pairs.clear();
  return true;
}

bool TServerTLS::Configure(SSL_CTX* ctx, std::string& error) {
  ERR_clear_error();
  // TLS 1.2 and 1.3 only, whatever the system's OpenSSL configuration allows.
  const bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
                  SSL_CTX_set_max_proto_version(ctx, 0) == 1 &&
                  SSL_CTX_set_cipher_list(ctx, TLS12Ciphers) == 1 &&
                  SSL_CTX_set_ciphersuites(ctx, TLS13Ciphersuites) == 1 &&
                  SSL_CTX_set1_groups_list(ctx, "X25519:P-256:P-384") == 1;
  if (!ok) {
    error = "the TLS settings cannot be made: " + OpenSSLError();
    return false;
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 |
                               SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                               SSL_OP_NO_RENEGOTIATION);
  FData->Context = ctx;
  return Install(ctx, FData->Pairs, error);
}

void TServerTLS::Watch(uv_loop_t* loop, unsigned intervalMs) {
  FData->Timer.reset(new uv_timer_t);
  uv_timer_init(loop, FData->Timer.get());
  FData->Timer->data = this;
  uv_timer_start(FData->Timer.get(), OnTimer, intervalMs, intervalMs);
}

void TServerTLS::OnTimer(uv_timer_t* handle) {
  if (handle->data) static_cast<TServerTLS*>(handle->data)->Look();
}

void TServerTLS::Look() {
  std::vector<TFileStamp> now = Stamps();
  const bool settled = now == FData->LastLook; // the same as one look ago: no longer being written
  FData->LastLook = now;
  if (!settled || now == FData->InService || now == FData->Failed || !FData->Context) return;
  std::vector<TKeyPair> pairs;
  std::string error;
  if (!LoadPairs(pairs, error) || !Install(FData->Context, pairs, error)) {
    ++FData->ReloadFailures;
    FData->Failed = now;
    lws_log(QLLL_ERR, "HTTP server: new certificates not taken, the ones in service stay: %s", error.c_str());
    return;
  }
  ++FData->Reloads;
  FData->InService = now;
  FData->Failed.clear();
  lws_log(QLLL_NOTICE, "HTTP server: certificates reloaded for new connections");
}

} // namespace Qel_proto_http
