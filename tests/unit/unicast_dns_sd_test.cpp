#include "DNSReply.h"
#include "DiscoverySources.h"
#include "UnicastBrowser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Qel_nmos_bridge;

namespace {

using TBytes = std::vector<unsigned char>;

void Put16(TBytes& b, uint16_t v) {
  b.push_back(static_cast<unsigned char>(v >> 8));
  b.push_back(static_cast<unsigned char>(v));
}
void PutName(TBytes& b, const std::string& name) {
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<unsigned char>(dot - start));
    b.insert(b.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  b.push_back(0);
}
// A record whose owner is a pointer to offset 12 (the question's name).
void PutRecord(TBytes& b, uint16_t type, uint32_t ttl, const TBytes& rdata, uint16_t cls = 1) {
  b.push_back(0xC0);
  b.push_back(12);
  Put16(b, type);
  Put16(b, cls);
  Put16(b, static_cast<uint16_t>(ttl >> 16));
  Put16(b, static_cast<uint16_t>(ttl));
  Put16(b, static_cast<uint16_t>(rdata.size()));
  b.insert(b.end(), rdata.begin(), rdata.end());
}
TBytes Header(uint16_t answers, uint16_t flags = 0x8400) {
  TBytes b;
  Put16(b, 0x1234);
  Put16(b, flags);
  Put16(b, 1);
  Put16(b, answers);
  Put16(b, 0);
  Put16(b, 0);
  return b;
}

const char* const Service = "_nmos-register._tcp.studio.example";

} // namespace

TEST(DNSReply, ReadsPTRSRVTXTAndAWithCompressedNames) {
  TBytes m = Header(5);
  PutName(m, Service);
  Put16(m, 12);
  Put16(m, 1);
  // PTR "Reg A" + pointer to the service name.
  TBytes ptr = {5, 'R', 'e', 'g', ' ', 'A', 0xC0, 12};
  PutRecord(m, DNSTypePTR, 60, ptr);
  TBytes srv;
  Put16(srv, 10);
  Put16(srv, 5);
  Put16(srv, 8235);
  PutName(srv, "registry.studio.example");
  PutRecord(m, DNSTypeSRV, 30, srv);
  PutRecord(m, DNSTypeTXT, 120,
            TBytes{8, 'a', 'p', 'i', '_', 'v', 'e', 'r', '=', 0, 5, 'p', 'r', 'i', '=', '1'});
  PutRecord(m, DNSTypeA, 5, TBytes{10, 1, 2, 3});
  PutRecord(m, 28 /* AAAA: skipped */, 5, TBytes(16, 0));
  const TDNSReply reply = ParseDNSReply(m.data(), m.size());
  ASSERT_TRUE(reply.Valid);
  EXPECT_EQ(reply.RCode, 0);
  ASSERT_EQ(reply.Records.size(), 4u);
  EXPECT_EQ(reply.Records[0].Name, Service);
  EXPECT_EQ(reply.Records[0].Target, std::string("Reg A.") + Service);
  EXPECT_EQ(reply.Records[0].TTL, 60u);
  EXPECT_EQ(reply.Records[1].Port, 8235);
  EXPECT_EQ(reply.Records[1].Priority, 10);
  EXPECT_EQ(reply.Records[1].Target, "registry.studio.example");
  EXPECT_EQ(reply.Records[2].Text, (std::vector<std::string>{"api_ver=", "", "pri=1"}));
  const unsigned char* a = reinterpret_cast<const unsigned char*>(&reply.Records[3].Address);
  EXPECT_EQ((std::vector<int>{a[0], a[1], a[2], a[3]}), (std::vector<int>{10, 1, 2, 3}));
  EXPECT_TRUE(SameDNSName("REG a._NMOS-register._tcp", "reg A._nmos-register._tcp"));

  // Every cut of the message is refused (never read past its end), as is a query (no response bit).
  for (size_t size = 0; size < m.size(); ++size)
    EXPECT_FALSE(ParseDNSReply(m.data(), size).Valid) << size;
  TBytes query = m;
  query[2] &= 0x7F;
  EXPECT_FALSE(ParseDNSReply(query.data(), query.size()).Valid);
  // Whatever a server's bytes say, reading them stays within the message (the sanitizer builds watch).
  uint32_t seed = 1;
  for (int i = 0; i < 20000; ++i) {
    TBytes mutated = m;
    for (int n = 0; n < 3; ++n) {
      seed = seed * 1103515245u + 12345u;
      mutated[(seed >> 8) % mutated.size()] = static_cast<unsigned char>(seed >> 24);
    }
    const TDNSReply r = ParseDNSReply(mutated.data(), mutated.size());
    for (const TDNSRecord& record : r.Records)
      EXPECT_LE(record.Name.size(), 255u);
  }
}

TEST(DNSReply, RefusesLoopsForwardPointersAndBadLengths) {
  // A name that points at itself, and one that points forward.
  for (unsigned char to : {12, 40}) {
    TBytes m = Header(0);
    m.push_back(0xC0);
    m.push_back(to);
    Put16(m, 12);
    Put16(m, 1);
    EXPECT_FALSE(ParseDNSReply(m.data(), m.size()).Valid) << int(to);
  }
  // An A record of 3 bytes; a TXT string longer than its record; an SRV without its target.
  TBytes base = Header(1);
  PutName(base, Service);
  Put16(base, 1);
  Put16(base, 1);
  for (auto [type, rdata] : std::vector<std::pair<uint16_t, TBytes>>{
           {DNSTypeA, {1, 2, 3}}, {DNSTypeTXT, {9, 'a'}}, {DNSTypeSRV, {0, 0, 0, 0, 1}}}) {
    TBytes m = base;
    PutRecord(m, type, 1, rdata);
    EXPECT_FALSE(ParseDNSReply(m.data(), m.size()).Valid) << type;
  }
  // A name of more than 255 bytes.
  TBytes m = Header(0);
  for (int i = 0; i < 5; ++i) {
    m.push_back(60);
    m.insert(m.end(), 60, 'x');
  }
  m.push_back(0);
  Put16(m, 12);
  Put16(m, 1);
  EXPECT_FALSE(ParseDNSReply(m.data(), m.size()).Valid);
  // "No such name" is a valid answer without records.
  TBytes nx = Header(0, 0x8403);
  PutName(nx, Service);
  Put16(nx, 12);
  Put16(nx, 1);
  const TDNSReply reply = ParseDNSReply(nx.data(), nx.size());
  EXPECT_TRUE(reply.Valid);
  EXPECT_EQ(reply.RCode, 3);
  EXPECT_TRUE(reply.Records.empty());
}

TEST(UnicastBrowser, PeriodsAndSearchDomains) {
  EXPECT_EQ(BrowsePeriod(0, false), 10u);
  EXPECT_EQ(BrowsePeriod(60, false), 60u);
  EXPECT_EQ(BrowsePeriod(86400, false), 300u);
  EXPECT_EQ(BrowsePeriod(86400, true), 10u);
  EXPECT_EQ(SearchDomainOf("nameserver 1.1.1.1\n"), "");
  EXPECT_EQ(SearchDomainOf("domain a.example\n# search no.example\nsearch b.example. c.example\n"),
            "b.example");
  EXPECT_EQ(SearchDomainOf("search\n"), "");
}

TEST(DiscoverySources, UnicastInstancesArePreferredWhileAnyIsUsable) {
  TAPIInstances apis;
  const TOffer local{"10.0.0.1", 80, 0, "v1.3", ""};
  const TOffer central{"10.0.0.2", 8235, 20, "v1.3", ""};
  apis.Found[SourceMulticast]["Local"].Seen[0] = local;
  // Without unicast instances multicast DNS serves in both modes but unicast.
  EXPECT_EQ(apis.InUse(TDNSSDMode::Both), SourceMulticast);
  EXPECT_EQ(apis.Wanted(TDNSSDMode::Both), (std::map<std::string, TOffer>{{"Local", local}}));
  EXPECT_TRUE(apis.Wanted(TDNSSDMode::Unicast).empty());
  // An unusable unicast instance (seen only as refused) changes nothing.
  apis.Found[SourceUnicast]["Future.studio.example"].Refusal[0] = "api_ver";
  EXPECT_EQ(apis.InUse(TDNSSDMode::Both), SourceMulticast);
  // A usable one takes over, under either service name (the newer name's offer first).
  apis.Found[SourceUnicast]["Central.studio.example"].Seen[1] = central;
  EXPECT_EQ(apis.InUse(TDNSSDMode::Both), SourceUnicast);
  EXPECT_EQ(apis.Wanted(TDNSSDMode::Both),
            (std::map<std::string, TOffer>{{"Central.studio.example", central}}));
  TOffer newer = central;
  newer.Port = 8236;
  apis.Found[SourceUnicast]["Central.studio.example"].Seen[0] = newer;
  EXPECT_EQ(apis.Wanted(TDNSSDMode::Both).at("Central.studio.example"), newer);
  EXPECT_EQ(apis.Wanted(TDNSSDMode::Multicast), (std::map<std::string, TOffer>{{"Local", local}}));
  // It goes: multicast DNS again.
  apis.Found[SourceUnicast]["Central.studio.example"] = TSeenInstance{};
  EXPECT_EQ(apis.InUse(TDNSSDMode::Both), SourceMulticast);
}
