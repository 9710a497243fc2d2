#include "JWKSet.h"

#include "Base64URL.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace Qel_auth {

using json = nlohmann::json;

void TPKeyFree::operator()(EVP_PKEY* key) const {
  EVP_PKEY_free(key);
}

namespace {

struct TBNFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
struct TParamBldFree {
  void operator()(OSSL_PARAM_BLD* bld) const { OSSL_PARAM_BLD_free(bld); }
};
struct TParamFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct TPKeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

std::string Text(const json& key, const char* name) {
  auto it = key.find(name);
  return it != key.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Why the key cannot verify access tokens; empty when it can.
std::string Refusal(const json& key, std::string& n, std::string& e) {
  if (!key.is_object()) return "not an object";
  if (Text(key, "kty") != "RSA") return "key type is not RSA";
  if (key.contains("use") && Text(key, "use") != "sig") return "not a signature key";
  if (key.contains("alg") && Text(key, "alg") != "RS512") return "algorithm is not RS512";
  if (key.contains("key_ops")) {
    const json& ops = key["key_ops"];
    // A list (RFC 7517); one text naming the operation is taken too, as some servers send it.
    bool verify = ops.is_string() && ops.get<std::string>() == "verify";
    if (ops.is_array())
      for (const json& op : ops)
        verify = verify || (op.is_string() && op.get<std::string>() == "verify");
    if (!verify) return "key operations exclude verify";
  }
  for (const char* priv : {"d", "p", "q", "dp", "dq", "qi"})
    if (key.contains(priv)) return "holds private parts";
  if (!Base64URLDecode(Text(key, "n"), n) || n.empty()) return "malformed modulus";
  if (!Base64URLDecode(Text(key, "e"), e) || e.empty() || e.size() > 8) return "malformed exponent";
  return "";
}

} // namespace

TPKey MakeRSAPublicKey(const std::string& n, const std::string& e) {
  std::unique_ptr<BIGNUM, TBNFree> bn(
      BN_bin2bn(reinterpret_cast<const unsigned char*>(n.data()), static_cast<int>(n.size()), nullptr));
  std::unique_ptr<BIGNUM, TBNFree> be(
      BN_bin2bn(reinterpret_cast<const unsigned char*>(e.data()), static_cast<int>(e.size()), nullptr));
  if (!bn || !be) return nullptr;
  // An even or tiny exponent, or a short modulus, is no key to trust.
  if (!BN_is_odd(be.get()) || BN_is_one(be.get()) || BN_num_bits(bn.get()) < TJWKSet::MinModulusBits ||
      !BN_is_odd(bn.get()))
    return nullptr;
  std::unique_ptr<OSSL_PARAM_BLD, TParamBldFree> bld(OSSL_PARAM_BLD_new());
  if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, be.get()))
    return nullptr;
  std::unique_ptr<OSSL_PARAM, TParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  std::unique_ptr<EVP_PKEY_CTX, TPKeyCtxFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0) return nullptr;
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) return nullptr;
  return TPKey(key);
}

bool TJWKSet::Parse(const json& set, std::vector<std::string>* skipped) {
  FKeys.clear();
  if (!set.is_object() || !set.contains("keys") || !set["keys"].is_array()) return false;
  for (const json& key : set["keys"]) {
    std::string n, e;
    std::string why = Refusal(key, n, e);
    TPKey pkey;
    if (why.empty() && !(pkey = MakeRSAPublicKey(n, e))) why = "modulus or exponent refused";
    if (why.empty() && FKeys.size() >= MaxKeys) why = "too many keys";
    if (!why.empty()) {
      if (skipped) skipped->push_back((key.is_object() ? Text(key, "kid") : std::string()) + ": " + why);
      continue;
    }
    FKeys.push_back({Text(key, "kid"), std::move(pkey)});
  }
  return true;
}

const TJWK* TJWKSet::Find(const std::string& kid) const {
  for (const TJWK& k : FKeys)
    if (k.Kid == kid) return &k;
  return nullptr;
}

} // namespace Qel_auth
