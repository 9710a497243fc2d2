// The System API's global configuration as the node reads it, the TXT records that make a System API
// usable, and the log lines as RFC 5424 syslog datagrams.
#include "MDNSBridge.h"
#include "Syslog.h"
#include "SystemGlobal.h"
#include "helpers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <unistd.h>

#include <regex>

using namespace Qel_nmos_bridge;
using nlohmann::json;

namespace {

json Example() {
  return json::parse(R"({
    "id": "3b8be755-08ff-452b-b217-c9151eb21193", "version": "1441700172:318426300",
    "label": "ZBQ System", "description": "System Global Information", "tags": {"site": ["a"]},
    "is04": {"heartbeat_interval": 8},
    "ptp": {"announce_receipt_timeout": 2, "domain_number": 57},
    "syslogv2": {"hostname": "logger.example", "port": 3477},
    "syslog": {"hostname": "127.0.0.1"}})");
}

std::string Why(const json& doc) {
  TSystemGlobal g;
  std::string why;
  return ParseSystemGlobal(doc.dump(), g, why) ? std::string() : why;
}

TEST(SystemGlobal, ReadsWhatTheNodeTakes) {
  TSystemGlobal g;
  std::string why;
  ASSERT_TRUE(ParseSystemGlobal(Example().dump(), g, why)) << why;
  EXPECT_EQ(g.ID, "3b8be755-08ff-452b-b217-c9151eb21193");
  EXPECT_EQ(g.Version, "1441700172:318426300");
  EXPECT_EQ(g.HeartbeatInterval, 8u);
  EXPECT_EQ(g.PTPDomain, 57u);
  EXPECT_EQ(g.PTPAnnounceTimeout, 2u);
  EXPECT_EQ(g.Syslog.Host, "127.0.0.1");
  EXPECT_EQ(g.Syslog.Port, 514); // the default port
  EXPECT_EQ(g.SyslogV2.Host, "logger.example");
  EXPECT_EQ(g.SyslogV2.Port, 3477);

  json bare = Example();
  bare.erase("syslog");
  bare.erase("syslogv2");
  ASSERT_TRUE(ParseSystemGlobal(bare.dump(), g, why)) << why;
  EXPECT_TRUE(g.Syslog.Host.empty());
  EXPECT_TRUE(g.SyslogV2.Host.empty());
}

TEST(SystemGlobal, RefusesWhatBreaksTheSchema) {
  EXPECT_EQ(Why(Example()), "");
  TSystemGlobal g;
  std::string why;
  EXPECT_FALSE(ParseSystemGlobal("{", g, why));
  EXPECT_FALSE(ParseSystemGlobal("[]", g, why));
  struct TCase {
    const char* pointer;
    json value; // null: removed
  };
  const TCase cases[] = {
      {"/id", nullptr},
      {"/id", "3B8BE755-08FF-452B-B217-C9151EB21193"},
      {"/id", 5},
      {"/version", "1441700172"},
      {"/label", nullptr},
      {"/description", json::array()},
      {"/tags", nullptr},
      {"/tags/site", "a"},
      {"/tags/site", json::array({1})},
      {"/is04", nullptr},
      {"/is04/heartbeat_interval", nullptr},
      {"/is04/heartbeat_interval", 0},
      {"/is04/heartbeat_interval", 1001},
      {"/is04/heartbeat_interval", 2.5},
      {"/is04/heartbeat_interval", "8"},
      {"/is04/heartbeat_interval", -1},
      {"/is04/heartbeat_interval", 18446744073709551615ULL},
      {"/ptp", nullptr},
      {"/ptp/domain_number", 128},
      {"/ptp/domain_number", nullptr},
      {"/ptp/announce_receipt_timeout", 1},
      {"/ptp/announce_receipt_timeout", 11},
      {"/syslog", "127.0.0.1"},
      {"/syslog/port", 0},
      {"/syslog/port", 65536},
      {"/syslog/hostname", "bad host"},
      {"/syslog/hostname", "-lead.example"},
      {"/syslogv2/hostname", 7},
  };
  for (const TCase& c : cases) {
    json doc = Example();
    const json::json_pointer p(c.pointer);
    if (c.value.is_null())
      doc[p.parent_pointer()].erase(p.back());
    else
      doc[p] = c.value;
    EXPECT_NE(Why(doc), "") << c.pointer << " = " << c.value.dump();
  }
  // Within bounds, and a whole number written as a float.
  json doc = Example();
  doc["is04"]["heartbeat_interval"] = 1000;
  doc["ptp"] = {{"announce_receipt_timeout", 10}, {"domain_number", 0}};
  doc["syslog"] = {{"hostname", "::1"}, {"port", 65535}};
  EXPECT_EQ(Why(doc), "");
  doc["is04"]["heartbeat_interval"] = 3.0;
  EXPECT_EQ(Why(doc), "");
}

AvahiStringList* TXT(std::initializer_list<const char*> records) {
  AvahiStringList* list = nullptr;
  for (const char* r : records)
    list = avahi_string_list_add(list, r);
  return avahi_string_list_reverse(list);
}

TEST(SystemTXT, UsableOnlyWithTheNodesVersionAndProtocol) {
  struct TCase {
    std::initializer_list<const char*> records;
    bool secure, usable;
    uint16_t prio;
  };
  const TCase cases[] = {
      {{"api_ver=v1.0", "api_proto=http", "pri=10", "api_auth=false"}, false, true, 10},
      {{"api_ver=v1.0,v1.1", "api_proto=http", "pri=0"}, false, true, 0},
      {{"API_VER=v1.0", "Api_Proto=http", "PRI=7"}, false, true, 7},
      {{"api_ver=v9.0", "api_proto=http", "pri=0"}, false, false, 0},
      {{"api_ver=v1.00", "api_proto=http", "pri=0"}, false, false, 0},
      {{"api_ver=v1.0", "api_proto=invalid", "pri=0"}, false, false, 0},
      {{"api_ver=v1.0", "api_proto=https", "pri=0"}, false, false, 0},
      {{"api_ver=v1.0", "api_proto=https", "pri=0"}, true, true, 0},
      {{"api_ver=v1.0", "api_proto=http", "pri=0"}, true, false, 0},
      {{"api_ver=v1.0", "api_proto=http", "pri=x"}, false, false, 0},
      {{"api_ver=v1.0", "api_proto=http"}, false, false, 0},
      {{"api_ver=v1.0", "api_proto=http", "pri=1", "api_auth=true"}, false, false, 0},
      {{"api_ver=v1.0", "api_proto=http", "pri=3", "api_proto=invalid"}, false, true, 3}, // first counts
  };
  for (const TCase& c : cases) {
    AvahiStringList* list = TXT(c.records);
    const TSystemTXT txt = ReadSystemTXT(list, c.secure);
    avahi_string_list_free(list);
    std::string text;
    for (const char* r : c.records)
      text += std::string(r) + " ";
    EXPECT_EQ(txt.Usable, c.usable) << text << txt.Refusal;
    EXPECT_EQ(txt.Prio, c.prio) << text;
    EXPECT_EQ(txt.Refusal.empty(), c.usable) << text;
  }
}

TEST(Syslog, FormatsRFC5424) {
  timeval when{};
  when.tv_sec = 1441700172; // 2015-09-08T08:16:12Z
  when.tv_usec = 42;
  EXPECT_EQ(FormatSyslog(QLLL_ERR, when, "rack-7", "nmos-bridge", 1234, "Registry failed"),
            "<11>1 2015-09-08T08:16:12.000042Z rack-7 nmos-bridge 1234 - - Registry failed");
  EXPECT_EQ(FormatSyslog(QLLL_WARN | QLLL_NMOS_BASE, when, "", "nmos-bridge", 1, "x").substr(0, 4), "<12>");
  EXPECT_EQ(SyslogSeverity(QLLL_NOTICE), 5);
  EXPECT_EQ(SyslogSeverity(QLLL_INFO), 6);
  EXPECT_EQ(SyslogSeverity(QLLL_DEBUG), 7);
  // A missing host name is "-", spaces and control characters in header fields become '_', in the
  // message spaces: one line per datagram.
  EXPECT_EQ(FormatSyslog(QLLL_WARN, when, "", "nmos bridge", 1, "a\nb\tc"),
            "<12>1 2015-09-08T08:16:12.000042Z - nmos_bridge 1 - - a b c");
  EXPECT_EQ(FormatSyslog(QLLL_WARN, when, std::string(300, 'h'), "a", 1, "m").find(std::string(256, 'h')),
            std::string::npos);
  // Cut to the size, never inside a UTF-8 sequence.
  const std::string euro = "\xe2\x82\xac";
  std::string longText;
  for (int i = 0; i < 1000; ++i)
    longText += euro;
  const std::string cut = FormatSyslog(QLLL_WARN, when, "h", "a", 1, longText);
  EXPECT_LE(cut.size(), SyslogMaxDatagram);
  EXPECT_GT(cut.size(), SyslogMaxDatagram - 3);
  const size_t body = cut.find(" - - ") + 5;
  EXPECT_EQ((cut.size() - body) % 3, 0u);
  EXPECT_EQ(FormatSyslog(QLLL_WARN, when, "h", "a", 1, "abcdef", 40).size(), 40u);
}

// The forwarder sends what the log function prints to a UDP socket of this test on 127.0.0.1.
TEST(Syslog, ForwardsPrintedLinesAsDatagrams) {
  const int rx = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(rx, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  TSyslogForwarder& f = TSyslogForwarder::Instance();
  ASSERT_TRUE(f.SetTarget(reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  const uint64_t before = f.Sent();
  lws_log(QLLL_NOTICE, "not printed, not sent");
  lws_log(QLLL_WARN, "System test line %d", 7);
  pollfd p{rx, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  char buf[4096];
  const ssize_t n = recv(rx, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  const std::string got(buf, static_cast<size_t>(n));
  EXPECT_TRUE(
      std::regex_match(got, std::regex(R"(<12>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \S+ nmos-bridge )" +
                                       std::to_string(getpid()) + R"( - - System test line 7)")))
      << got;
  EXPECT_EQ(f.Sent(), before + 1);
  f.ClearTarget();
  lws_log(QLLL_WARN, "after the target is gone");
  EXPECT_EQ(poll(&p, 1, 100), 0);
  close(rx);
}

} // namespace
