// The node as resource server: hostile access tokens against the checks of signature, header, times,
// audience, issuer and the x-nmos claims, each refused with the status a client is to get.
#include "AuthServerKeys.h"
#include "Base64URL.h"
#include "JWKSet.h"
#include "RequestAuthorizer.h"
#include "TokenCache.h"
#include "TokenClaims.h"
#include "WildcardMatch.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <uv.h>

#include <memory>
#include <string>

using namespace Qel_auth;
using json = nlohmann::json;

namespace {

const char* const Issuer = "https://auth.example.test";
const int64_t Now = 1800000000;

std::string BNBytes(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  std::string out(static_cast<size_t>(BN_num_bytes(bn)), '\0');
  BN_bn2bin(bn, reinterpret_cast<unsigned char*>(&out[0]));
  BN_free(bn);
  return out;
}

struct TSigner {
  explicit TSigner(std::string kid, int bits = 2048) : Kid(std::move(kid)), Key(EVP_RSA_gen(bits)) {}
  std::string Kid;
  TPKey Key;

  json JWK() const {
    return {{"kty", "RSA"},
            {"use", "sig"},
            {"alg", "RS512"},
            {"kid", Kid},
            {"n", Base64URLEncode(BNBytes(Key.get(), OSSL_PKEY_PARAM_RSA_N))},
            {"e", Base64URLEncode(BNBytes(Key.get(), OSSL_PKEY_PARAM_RSA_E))}};
  }
  std::string PublicPEM() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, Key.get());
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(len));
    BIO_free(bio);
    return pem;
  }
  std::string Sign(json header, const json& claims) const {
    if (!header.contains("kid") && !Kid.empty()) header["kid"] = Kid;
    const std::string input = Base64URLEncode(header.dump()) + "." + Base64URLEncode(claims.dump());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    EVP_DigestSignInit(ctx, nullptr, EVP_sha512(), nullptr, Key.get());
    EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()), input.size());
    std::string sig(len, '\0');
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(&sig[0]), &len,
                   reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EVP_MD_CTX_free(ctx);
    sig.resize(len);
    return input + "." + Base64URLEncode(sig);
  }
};

json With(json doc, const json& members) {
  doc.update(members);
  return doc;
}

json Claims() {
  return {{"iss", Issuer},
          {"sub", "operator@example.test"},
          {"aud", json::array({"https://node-*.studio.test", "other.test"})},
          {"iat", Now - 10},
          {"exp", Now + 600},
          {"client_id", "controller"},
          {"x-nmos-connection", {{"read", {"*"}}, {"write", {"single/receivers/*"}}}},
          {"x-nmos-node", {{"read", {"*"}}}}};
}

// An authorizer of both APIs whose keys come from a stand-in: the keys are set directly.
class AccessTokens : public ::testing::Test {
protected:
  void SetUp() override {
    uv_loop_init(&Loop);
    Authorizer =
        std::make_unique<TRequestAuthorizer>(&Loop, std::vector<std::string>{"node", "connection"}, "", [] {
          return std::vector<std::string>{"node-7.studio.test", "10.1.2.3"};
        });
    Authorizer->Clock = [this] { return Clock; };
    json set = {{"keys", json::array({Signer.JWK()})}};
    ASSERT_TRUE(Keys.Parse(set));
    ASSERT_EQ(Keys.Keys().size(), 1u);
  }
  void TearDown() override {
    Authorizer.reset();
    uv_run(&Loop, UV_RUN_NOWAIT);
    uv_loop_close(&Loop);
  }
  TTokenVerdict Verify(const std::string& token, std::string& why) {
    TTokenExpectations expect;
    expect.Issuer = Issuer;
    expect.Audience = {"node-7.studio.test", "10.1.2.3"};
    expect.Now = Clock;
    TVerifiedToken out;
    return TAccessTokenChecker::Check(token, Keys, expect, out, why);
  }

  uv_loop_t Loop{};
  TSigner Signer{"k1"};
  TJWKSet Keys;
  int64_t Clock = Now;
  std::unique_ptr<TRequestAuthorizer> Authorizer;
};

} // namespace

TEST(AuthHelpers, Base64URLWildcardsAndPaths) {
  std::string out;
  EXPECT_TRUE(Base64URLDecode(Base64URLEncode(std::string("\xff\x00\x10hello", 8)), out));
  EXPECT_FALSE(Base64URLDecode("ab+c", out));
  EXPECT_FALSE(Base64URLDecode("abc=", out));
  EXPECT_FALSE(Base64URLDecode("a", out));
  EXPECT_TRUE(WildcardMatch("single/senders/*/constraints", "single/senders/ab-12/constraints"));
  EXPECT_TRUE(WildcardMatch("single*", "single/receivers/x/staged"));
  EXPECT_FALSE(WildcardMatch("single/senders/*", "single/receivers/x/staged"));
  EXPECT_FALSE(WildcardMatch(std::string(60, '*') + "x", std::string(5000, 'a'))); // no blow-up
  EXPECT_EQ(SplitAPIPath("/").Level, TAPIPath::plOpen);
  EXPECT_EQ(SplitAPIPath("/x-nmos/").Level, TAPIPath::plOpen);
  EXPECT_EQ(SplitAPIPath("/x-nmos/node/v1.3/").Level, TAPIPath::plAPIRoot);
  TAPIPath below = SplitAPIPath("/x-nmos/connection/v1.1/single/receivers/r1/staged");
  EXPECT_EQ(below.Level, TAPIPath::plBelowVersion);
  EXPECT_EQ(below.API, "connection");
  EXPECT_EQ(below.Relative, "single/receivers/r1/staged");
}

TEST(AuthHelpers, KeySetTakesOnlyRS512SigningKeys) {
  TSigner rsa("good"), small("small", 1024);
  json set = {{"keys", json::array({rsa.JWK(), small.JWK(), json{{"kty", "EC"}, {"kid", "ec"}},
                                    With(rsa.JWK(), {{"alg", "RS256"}, {"kid", "rs256"}}),
                                    With(rsa.JWK(), {{"use", "enc"}, {"kid", "enc"}}),
                                    With(rsa.JWK(), {{"d", "AQAB"}, {"kid", "private"}}),
                                    With(rsa.JWK(), {{"e", "AQ"}, {"kid", "e1"}}),
                                    With(rsa.JWK(), {{"key_ops", {"sign"}}, {"kid", "sign-only"}}),
                                    With(rsa.JWK(), {{"key_ops", "encrypt"}, {"kid", "encrypt-only"}}),
                                    // key_ops as one text instead of a list, as some servers send it
                                    With(rsa.JWK(), {{"key_ops", "verify"}, {"kid", "verify-text"}}),
                                    json{{"kty", "oct"}, {"k", "c2VjcmV0"}}})}};
  TJWKSet keys;
  std::vector<std::string> skipped;
  ASSERT_TRUE(keys.Parse(set, &skipped));
  ASSERT_EQ(keys.Keys().size(), 2u);
  EXPECT_EQ(keys.Keys()[0].Kid, "good");
  EXPECT_EQ(keys.Keys()[1].Kid, "verify-text");
  EXPECT_EQ(skipped.size(), 9u);
  EXPECT_FALSE(keys.Parse(json::array()));
}

TEST_F(AccessTokens, HostileTokensAreRefused) {
  std::string why;
  const json header = {{"typ", "JWT"}, {"alg", "RS512"}};
  EXPECT_EQ(Verify(Signer.Sign(header, Claims()), why), tvValid) << why;

  // alg none, with and without a signature.
  const std::string unsignedToken =
      Base64URLEncode(json{{"alg", "none"}}.dump()) + "." + Base64URLEncode(Claims().dump()) + ".";
  EXPECT_EQ(Verify(unsignedToken, why), tvInvalid);
  EXPECT_EQ(why, "token algorithm not allowed");
  // HS512 keyed with the public key's PEM text (the confusion of key types).
  {
    const std::string input = Base64URLEncode(json{{"alg", "HS512"}, {"kid", "k1"}}.dump()) + "." +
                              Base64URLEncode(Claims().dump());
    const std::string pem = Signer.PublicPEM();
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha512(), pem.data(), static_cast<int>(pem.size()),
         reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &len);
    EXPECT_EQ(Verify(input + "." + Base64URLEncode(std::string(reinterpret_cast<char*>(mac), len)), why),
              tvInvalid);
    EXPECT_EQ(why, "token algorithm not allowed");
  }
  // RS256 is not allowed either.
  EXPECT_EQ(Verify(Signer.Sign({{"alg", "RS256"}}, Claims()), why), tvInvalid);
  // Signed with another key: named unknown (a refresh is due), or unnamed and tried against each.
  TSigner stranger("k2"), anonymous("");
  EXPECT_EQ(Verify(stranger.Sign(header, Claims()), why), tvUnknownKey);
  EXPECT_EQ(Verify(anonymous.Sign(header, Claims()), why), tvUnknownKey);
  EXPECT_EQ(why, "bad token signature");
  // Another key claiming the kid of ours.
  EXPECT_EQ(Verify(stranger.Sign({{"alg", "RS512"}, {"kid", "k1"}}, Claims()), why), tvInvalid);
  // A good signature over claims altered afterwards.
  {
    std::string token = Signer.Sign(header, Claims());
    json more = Claims();
    more["x-nmos-connection"]["write"] = {"*"};
    const size_t dot1 = token.find('.'), dot2 = token.rfind('.');
    token = token.substr(0, dot1 + 1) + Base64URLEncode(more.dump()) + token.substr(dot2);
    EXPECT_EQ(Verify(token, why), tvInvalid);
  }
  // The header naming a key of its own.
  EXPECT_EQ(Verify(Signer.Sign({{"alg", "RS512"}, {"jwk", Signer.JWK()}}, Claims()), why), tvInvalid);
  // Malformed.
  for (const char* text : {"", "abc", "a.b", "a.b.c.d", "!!.??.**", "e30.e30.e30"})
    EXPECT_EQ(Verify(text, why), tvInvalid) << text;
  // Times, audience and issuer.
  auto with = [&](const char* name, json value) {
    json c = Claims();
    if (value.is_null())
      c.erase(name);
    else
      c[name] = value;
    return Verify(Signer.Sign(header, c), why);
  };
  EXPECT_EQ(with("exp", Now - 60), tvInvalid);
  EXPECT_EQ(why, "the token has expired");
  EXPECT_EQ(with("exp", Now - 2), tvValid); // within the leeway
  EXPECT_EQ(with("exp", nullptr), tvInvalid);
  EXPECT_EQ(with("exp", "tomorrow"), tvInvalid);
  EXPECT_EQ(with("nbf", Now + 60), tvInvalid);
  EXPECT_EQ(why, "the token is not yet valid");
  EXPECT_EQ(with("iat", Now + 60), tvInvalid);
  EXPECT_EQ(with("aud", json::array({"https://node-*.elsewhere.test"})), tvOtherAudience);
  EXPECT_EQ(why, "token for another audience");
  EXPECT_EQ(with("aud", nullptr), tvInvalid);
  EXPECT_EQ(with("aud", "node-7.studio.test:8080"), tvOtherAudience);
  EXPECT_EQ(with("aud", "10.1.2.*"), tvOtherAudience); // addresses compare whole
  json expiredElsewhere = Claims();
  expiredElsewhere["aud"] = "elsewhere.test";
  expiredElsewhere["exp"] = Now - 60;
  EXPECT_EQ(Verify(Signer.Sign(header, expiredElsewhere), why), tvInvalid); // unsound first
  EXPECT_EQ(with("aud", "https://10.1.2.3"), tvValid);
  EXPECT_EQ(with("aud", "NODE-7.Studio.Test"), tvValid);
  EXPECT_EQ(with("iss", "https://evil.example.test"), tvInvalid);
  EXPECT_EQ(why, "token from another issuer");
}

TEST_F(AccessTokens, RequestsGetTheRightStatus) {
  TAuthRequest write;
  write.Method = "PATCH";
  write.Path = "/x-nmos/connection/v1.1/single/receivers/r1/staged";
  write.Peer = "127.0.0.1";
  auto bearer = [](const std::string& token) { return "Bearer " + token; };
  auto check = [&](TAuthRequest r, const std::string& token) {
    r.AuthorizationGiven = !token.empty();
    r.Authorization = token.empty() ? "" : bearer(token);
    return Authorizer->Check(r);
  };
  TSigner other("k2");
  auto stranger = [&] { return other.Sign({{"alg", "RS512"}}, Claims()); };
  auto challenge = [](const TAuthDecision& d) {
    for (const auto& h : d.Headers)
      if (h.first == "WWW-Authenticate") return h.second;
    return std::string();
  };

  // No keys yet: refused, never accepted.
  const json header = {{"alg", "RS512"}};
  const std::string good = Signer.Sign(header, Claims());
  EXPECT_EQ(check(write, good).Status, 503);

  Authorizer->Server().Adopt(std::make_shared<TJWKSet>(std::move(Keys)), Issuer);

  TAuthDecision d = check(write, "");
  EXPECT_EQ(d.Status, 401);
  EXPECT_EQ(challenge(d).find("error="), std::string::npos) << challenge(d); // no credentials: no error code
  EXPECT_EQ(check(write, "not/a.token!").Status, 401);
  d = check(write, stranger());
  EXPECT_EQ(d.Status, 401);
  EXPECT_NE(challenge(d).find(",error=invalid_token,"), std::string::npos) << challenge(d);
  json expired = Claims();
  expired["exp"] = Now - 100;
  EXPECT_EQ(check(write, Signer.Sign(header, expired)).Status, 401);
  TAuthRequest basic = write;
  basic.AuthorizationGiven = true;
  basic.Authorization = "Basic dXNlcjpwYXNz";
  EXPECT_EQ(Authorizer->Check(basic).Status, 401);

  // The right token: allowed, and then taken from the cache.
  EXPECT_TRUE(check(write, good).Allowed());
  EXPECT_TRUE(check(write, good).Allowed());
  json stats;
  Authorizer->UpdateStats(stats);
  EXPECT_EQ(stats["Verified"], 1);
  // The cached token expires like any other.
  Clock = Now + 700;
  EXPECT_EQ(check(write, good).Status, 401);
  Clock = Now;

  // Read claims used for a write, and claims for another path: 403 with insufficient_scope.
  json readOnly = Claims();
  readOnly["x-nmos-connection"].erase("write");
  d = check(write, Signer.Sign(header, readOnly));
  EXPECT_EQ(d.Status, 403);
  EXPECT_NE(challenge(d).find("insufficient_scope"), std::string::npos);
  json elsewhere = Claims();
  elsewhere["aud"] = "elsewhere.test";
  d = check(write, Signer.Sign(header, elsewhere));
  EXPECT_EQ(d.Status, 403);
  EXPECT_NE(challenge(d).find(",error=insufficient_scope,"), std::string::npos) << challenge(d);
  TAuthRequest sender = write;
  sender.Path = "/x-nmos/connection/v1.1/single/senders/s1/staged";
  EXPECT_EQ(check(sender, good).Status, 403);
  TAuthRequest target = write;
  target.Method = "PUT";
  target.Path = "/x-nmos/node/v1.2/receivers/r1/target";
  EXPECT_EQ(check(target, good).Status, 403); // node: read only
  TAuthRequest read = write;
  read.Method = "GET";
  EXPECT_TRUE(check(read, good).Allowed());
  json nodeOnly = Claims();
  nodeOnly.erase("x-nmos-connection");
  EXPECT_EQ(check(read, Signer.Sign(header, nodeOnly)).Status, 403);

  // The open roots and the API roots: "/" and "/x-nmos" need nothing, an API's root a claim or scope.
  TAuthRequest root = read;
  for (const char* path : {"/", "/x-nmos", "/x-nmos/"}) {
    root.Path = path;
    EXPECT_TRUE(check(root, "").Allowed()) << path;
  }
  root.Path = "/x-nmos/connection/v1.1/";
  EXPECT_EQ(check(root, "").Status, 401);
  EXPECT_TRUE(check(root, Signer.Sign(header, With(nodeOnly, {{"scope", "connection"}}))).Allowed());

  // The query parameter serves reads only; a token given twice is a bad request.
  TAuthRequest query = read;
  query.AccessTokens = 1;
  query.AccessToken = good;
  EXPECT_TRUE(Authorizer->Check(query).Allowed());
  query.Method = "PATCH";
  EXPECT_EQ(Authorizer->Check(query).Status, 401);
  query.Method = "GET";
  query.AccessTokens = 2;
  EXPECT_EQ(Authorizer->Check(query).Status, 400);
  query.AccessTokens = 1;
  query.AuthorizationGiven = true;
  query.Authorization = bearer(good);
  EXPECT_EQ(Authorizer->Check(query).Status, 400);
}

TEST(AuthHelpers, TokenCacheIsBounded) {
  TTokenCache cache(3);
  for (int i = 0; i < 10; ++i)
    cache.Add("t" + std::to_string(i), {std::make_shared<const json>(), Now + 100, 0}, Now, 5);
  EXPECT_EQ(cache.Size(), 3u);
  EXPECT_EQ(cache.Find("t0", Now, 5), nullptr);
  EXPECT_NE(cache.Find("t9", Now, 5), nullptr);
  EXPECT_EQ(cache.Find("t9", Now + 200, 5), nullptr);
  EXPECT_EQ(cache.Size(), 2u);
}

// After an authorization server's outage a node without keys refuses every protected request: it must
// ask again within half a minute, however long the outage was; once it holds keys it may wait longer.
TEST(AuthHelpers, KeyFetchBacksOffLessWithoutKeys) {
  uint64_t without = TAuthServerKeys::FirstBackoffSeconds, with = without;
  for (int failures = 0; failures < 20; ++failures) {
    without = TAuthServerKeys::NextBackoff(without, false);
    with = TAuthServerKeys::NextBackoff(with, true);
    EXPECT_LE(without, 30u);
  }
  EXPECT_EQ(without, 30u);
  EXPECT_EQ(with, TAuthServerKeys::MaxBackoffSeconds);
}
