#include "NMOSBridge.h"
#include "NMOSBridgeConfig.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

struct TArgs {
  explicit TArgs(std::vector<std::string> args) : Text(std::move(args)) {
    for (auto& a : Text)
      Ptrs.push_back(a.data());
  }
  std::vector<std::string> Text;
  std::vector<char*> Ptrs;
  int argc() { return static_cast<int>(Ptrs.size()); }
  char** argv() { return Ptrs.data(); }
};

TQELNMOSConfig* Make(std::vector<std::string> args) {
  args.insert(args.begin(), "nmos-bridge");
  static std::deque<TArgs> keep; // the configuration keeps pointers into argv
  keep.emplace_back(args);
  return new TQELNMOSConfig(keep.back().argc(), keep.back().argv());
}

} // namespace

TEST(Config, DefaultsWithoutArguments) {
  std::unique_ptr<TQELNMOSConfig> c(Make({}));
  EXPECT_EQ(c->GetAES67FWAddr(), "127.0.0.1");
  EXPECT_EQ(c->GetAES67FWPort(), 80);
  EXPECT_EQ(c->GetBridgePort(), 9001);
  EXPECT_EQ(c->GetBridgeInterface(), nullptr);
  EXPECT_EQ(c->GetBridgeAddress(), "");
  EXPECT_EQ(c->GetSystemAPI(), "");
  EXPECT_EQ(c->GetSystemRefresh(), 60u);
  EXPECT_EQ(c->ParamCount(), 1);
  EXPECT_EQ(c->As(QELWS_CONFIG_NMOS), static_cast<IQELNMOSConfig*>(c.get()));
  EXPECT_EQ(c->As(QELWS_BASE), static_cast<TQELWebServerConfig*>(c.get()));
  const char* sameText = "QELWS_BASE";
  EXPECT_EQ(c->As(static_cast<CLASSID>(std::string(sameText).c_str())), nullptr); // identity, not text
}

TEST(Config, SystemAPIAndItsRefreshInterval) {
  std::unique_ptr<TQELNMOSConfig> c(Make({"/system", "http://127.0.0.1:7000", "/system-refresh", "5"}));
  EXPECT_EQ(c->GetSystemAPI(), "http://127.0.0.1:7000");
  EXPECT_EQ(c->GetSystemRefresh(), 5u);
  for (const char* bad : {"0", "86401", "-1", "5s", ""}) {
    c.reset(Make({"/system-refresh", bad}));
    EXPECT_EQ(c->GetSystemRefresh(), 60u) << bad;
  }
}

TEST(Config, BoxValueGivesHostAndOptionalPort) {
  std::unique_ptr<TQELNMOSConfig> c(Make({"/box", "10.0.0.5:8080"}));
  EXPECT_EQ(c->GetAES67FWAddr(), "10.0.0.5");
  EXPECT_EQ(c->GetAES67FWPort(), 8080);
  c.reset(Make({"/box", "10.0.0.5"}));
  EXPECT_EQ(c->GetAES67FWPort(), 80);
  c.reset(Make({"/box", "10.0.0.5:"}));
  EXPECT_EQ(c->GetAES67FWPort(), 0);
  c.reset(Make({"/box", "a:1", "/box", "b:2"}));
  EXPECT_EQ(c->GetAES67FWAddr(), "b");
}

TEST(Config, RegistriesAreKeptInOrderOnceEachAndMalformedOnesAreSkipped) {
  std::unique_ptr<TQELNMOSConfig> c(Make(
      {"/registry", "10.1.2.3:8235", "/registry", "reg.local:80", "/registry", "10.1.2.3:8235", "/registry",
       "nohost", "/registry", "x:0", "/registry", ":80", "/registry", "x:65536", "/registry", "x:8a"}));
  EXPECT_EQ(c->GetRegistries(), (std::vector<TRegistryAddress>{{"10.1.2.3", 8235}, {"reg.local", 80}}));
}

TEST(Config, CertificatesPairWithKeysInOrderAndProtectedAPIsAreNamed) {
  std::unique_ptr<TQELNMOSConfig> c(
      Make({"/tls-cert", "rsa.pem", "/tls-key", "rsa.key", "/tls-cert", "ec.pem", "/tls-key", "ec.key",
            "/tls-cert", "rsa.pem", "/tls-key", "rsa.key", "/tls-cert", "lone.pem", "/tls-ca", "ca.pem",
            "/auth", "connection,node"}));
  EXPECT_EQ(c->GetTLSCertificates(),
            (std::vector<TTLSCertificate>{{"rsa.pem", "rsa.key"}, {"ec.pem", "ec.key"}}));
  EXPECT_TRUE(c->Secure());
  EXPECT_EQ(c->GetTLSCAFile(), "ca.pem");
  EXPECT_EQ(c->GetProtectedAPIs(), ProtectNodeAPI | ProtectConnectionAPI);
  EXPECT_EQ(c->GetAuthCredentialsFile(), "/var/lib/nmos-bridge/auth-client.json");
  c.reset(Make({"/auth", "node,registry"}));
  EXPECT_FALSE(c->Secure());
  EXPECT_EQ(c->GetProtectedAPIs(), ProtectNone);
  c.reset(
      Make({"/auth", "node", "/auth-server", "https://auth.local:8443", "/auth-credentials", "/x/c.json"}));
  EXPECT_EQ(c->GetProtectedAPIs(), ProtectNodeAPI);
  EXPECT_EQ(c->GetAuthServer(), "https://auth.local:8443");
  EXPECT_EQ(c->GetAuthCredentialsFile(), "/x/c.json");
}

TEST(Config, PortIsTruncatedTo16BitsAndNeedsAValue) {
  std::unique_ptr<TQELNMOSConfig> c(Make({"/port", "70000"}));
  EXPECT_EQ(c->GetBridgePort(), 4464);
  c.reset(Make({"/port"}));
  EXPECT_EQ(c->GetBridgePort(), 9001);
  c.reset(Make({"/portx", "1234"}));
  EXPECT_EQ(c->GetBridgePort(), 1234);
}

TEST(Config, InterfaceWithoutIPv4AddressStoresZeros) {
  testing::internal::CaptureStdout();
  std::unique_ptr<TQELNMOSConfig> c(Make({"/if", "nosuchif0"}));
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(c->GetBridgeInterface(), "nosuchif0");
  EXPECT_EQ(c->GetBridgeAddress(), "0.0.0.0");
  c.reset(Make({"/if", "lo"}));
  EXPECT_EQ(c->GetBridgeAddress(), "127.0.0.1");
}

TEST(Config, ServerSetupDefaultsAndValidation) {
  TQELNMOS_LWSSetup setup;
  EXPECT_STREQ(setup.resource_path, "/var/tmp/x-nmos/node/v1.2");
  EXPECT_STREQ(setup.ThreadName, "NMOSBridgeWorker");
  EXPECT_EQ(setup.uid, -1);
  EXPECT_TRUE(setup.Validate());
  setup.ThreadName[0] = 0;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(setup.Validate());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("No threadname specified"), std::string::npos);
  setup.AutoComplete();
  EXPECT_STREQ(setup.ThreadName, "Thread0001");
  EXPECT_STREQ(setup.interface_name, "eth1");
}

TEST(Bridge, UptimeIsPrintedAsDaysAndClock) {
  EXPECT_EQ(Qel_nmos_bridge::TQELNMOSBridge::FormatUptime(90061), "1 Days, 01:01:01");
  EXPECT_EQ(Qel_nmos_bridge::TQELNMOSBridge::FormatUptime(59), "0 Days, 00:00:59");
}

TEST(Config, DNSSDOptions) {
  // The resolver configuration gives the domain unless one is named; a missing file gives none.
  const std::string path = testing::TempDir() + "qel-resolv.conf";
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("nameserver 10.1.1.1\ndomain old.example\nsearch studio.example. other.example\n", f);
  fclose(f);
  setenv("QEL_RESOLV_CONF", path.c_str(), 1);
  std::unique_ptr<TQELNMOSConfig> c(Make({}));
  EXPECT_EQ(c->GetDNSSDMode(), TDNSSDMode::Both);
  EXPECT_EQ(c->GetDNSSDDomain(), "studio.example");
  EXPECT_EQ(c->GetDNSServer(), "");
  EXPECT_EQ(c->GetResolvConf(), path);
  c.reset(
      Make({"/dns-sd", "unicast", "/dns-sd-domain", "testsuite.nmos.tv.", "/dns-server", "127.0.0.1:5300"}));
  EXPECT_EQ(c->GetDNSSDMode(), TDNSSDMode::Unicast);
  EXPECT_EQ(c->GetDNSSDDomain(), "testsuite.nmos.tv");
  EXPECT_EQ(c->GetDNSServer(), "127.0.0.1:5300");
  c.reset(Make({"/dns-sd", "multicast", "/dns-server", "10.232.0.2"}));
  EXPECT_EQ(c->GetDNSSDMode(), TDNSSDMode::Multicast);
  EXPECT_EQ(c->GetDNSServer(), "10.232.0.2:53");
  // A server that cannot be used never lets the configured ones be asked: no domain, no browsing.
  c.reset(Make({"/dns-sd", "sometimes", "/dns-server", "dns.example:53"}));
  EXPECT_EQ(c->GetDNSSDMode(), TDNSSDMode::Both);
  EXPECT_EQ(c->GetDNSServer(), "");
  EXPECT_EQ(c->GetDNSSDDomain(), "");
  std::string out;
  for (const char* bad : {"", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "1.2.3:53", "::1"})
    EXPECT_FALSE(ParseDNSServer(bad, out)) << bad;
  setenv("QEL_RESOLV_CONF", "/nonexistent/qel-resolv.conf", 1);
  c.reset(Make({}));
  EXPECT_EQ(c->GetDNSSDDomain(), "");
  unsetenv("QEL_RESOLV_CONF");
  remove(path.c_str());
}
