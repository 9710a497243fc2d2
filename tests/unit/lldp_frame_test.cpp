// LLDP frames as a switch (or an attacker on the wire) sends them, and where what they tell goes in the
// node's interfaces.
#include "AttachedDevice.h"
#include "LLDPFrame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

using namespace Qel_nmos_bridge;
using Bytes = std::vector<uint8_t>;
using nlohmann::json;

namespace {

Bytes Tlv(uint8_t type, const Bytes& value) {
  Bytes tlv;
  tlv.reserve(2 + value.size());
  tlv.push_back(static_cast<uint8_t>(type << 1 | (value.size() >> 8 & 1)));
  tlv.push_back(static_cast<uint8_t>(value.size()));
  for (uint8_t octet : value)
    tlv.push_back(octet);
  return tlv;
}

Bytes Id(uint8_t subtype, const std::string& text) {
  Bytes id(1 + text.size(), subtype);
  for (size_t i = 0; i < text.size(); ++i)
    id[1 + i] = static_cast<uint8_t>(text[i]);
  return id;
}

const Bytes MacChassis = {4, 0x00, 0x1B, 0x21, 0xAA, 0xbb, 0x0C};
const Bytes Header = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e, 0x02, 0, 0, 0, 0, 1, 0x88, 0xcc};

Bytes Frame(std::initializer_list<Bytes> tlvs, bool end = true) {
  Bytes frame = Header;
  for (const Bytes& tlv : tlvs)
    frame.insert(frame.end(), tlv.begin(), tlv.end());
  if (end) frame.insert(frame.end(), {0, 0});
  return frame;
}

Bytes Ttl(uint16_t seconds) {
  return Tlv(3, {static_cast<uint8_t>(seconds >> 8), static_cast<uint8_t>(seconds)});
}

TLLDPParse Parse(const Bytes& frame, TLLDPNeighbour& out) {
  return ParseLLDPFrame(frame.data(), frame.size(), out);
}

} // namespace

TEST(LLDPFrame, ReadsTheNeighbourAndItsTTL) {
  TLLDPNeighbour n;
  // A MAC chassis, an interface-name port, a system name and an organisation TLV after the three, padded
  // to the Ethernet minimum.
  Bytes frame = Frame({Tlv(1, MacChassis), Tlv(2, Id(5, "Gi1/0/7")), Ttl(120), Tlv(5, {'s', 'w'}),
                       Tlv(127, {0x00, 0x80, 0xc2, 1, 0, 1})});
  frame.resize(60, 0);
  ASSERT_EQ(Parse(frame, n), TLLDPParse::Ok);
  EXPECT_EQ(n.ChassisId, "00-1b-21-aa-bb-0c");
  EXPECT_EQ(n.PortId, "Gi1/0/7");
  EXPECT_EQ(n.TTL, 120);

  // A MAC port, a locally assigned chassis; no End TLV when the TLVs fill the frame exactly.
  ASSERT_EQ(Parse(Frame({Tlv(1, Id(7, "rack-3")), Tlv(2, {3, 0xA0, 1, 2, 3, 4, 0xFF}), Ttl(0)}, false), n),
            TLLDPParse::Ok);
  EXPECT_EQ(n.ChassisId, "rack-3");
  EXPECT_EQ(n.PortId, "a0-01-02-03-04-ff");
  EXPECT_EQ(n.TTL, 0);

  // Network addresses in their usual text; an unknown family as text.
  ASSERT_EQ(Parse(Frame({Tlv(1, {5, 1, 10, 1, 2, 3}),
                         Tlv(2, {4, 2, 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), Ttl(30)}),
                  n),
            TLLDPParse::Ok);
  EXPECT_EQ(n.ChassisId, "10.1.2.3");
  EXPECT_EQ(n.PortId, "fe80::1");
  EXPECT_EQ(LLDPIdText(true, 5, Bytes{9, 'a'}.data(), 2), "\\x09a");
}

TEST(LLDPFrame, MakesTextIdsPrintable) {
  TLLDPNeighbour n;
  // Control octets, octets above ASCII and a quote: the text stays valid JSON in any document.
  ASSERT_EQ(
      Parse(Frame({Tlv(1, {7, 'a', 0x00, 0x1b, '"', 0xc3, 0xa9, 0x7f}), Tlv(2, Id(5, "p\n1")), Ttl(5)}), n),
      TLLDPParse::Ok);
  EXPECT_EQ(n.ChassisId, "a\\x00\\x1b\"\\xc3\\xa9\\x7f");
  EXPECT_EQ(n.PortId, "p\\x0a1");
  EXPECT_NO_THROW(json(n.ChassisId).dump());
  // Trailing NULs (a C string sent with its terminator) are dropped.
  ASSERT_EQ(Parse(Frame({Tlv(1, {7, 's', 'w', 0, 0}), Tlv(2, Id(5, "1")), Ttl(5)}), n), TLLDPParse::Ok);
  EXPECT_EQ(n.ChassisId, "sw");
  // The longest id a TLV may hold (255 octets), every octet escaped, is taken whole.
  ASSERT_EQ(Parse(Frame({Tlv(1, Bytes(256, 1)), Tlv(2, Id(5, "1")), Ttl(5)}), n), TLLDPParse::Ok);
  EXPECT_EQ(n.ChassisId.size(), 255u * 4);
}

TEST(LLDPFrame, RejectsHostileFrames) {
  const Bytes chassis = Tlv(1, MacChassis), port = Tlv(2, Id(5, "7")), ttl = Ttl(120);
  const std::vector<std::pair<const char*, Bytes>> malformed = {
      {"no TLV at all", Frame({}, false)},
      {"only the End TLV", Frame({}, true)},
      {"no TTL", Frame({chassis, port})},
      {"no port", Frame({chassis, ttl})},
      {"port before chassis", Frame({port, chassis, ttl})},
      {"an optional TLV among the leading ones", Frame({chassis, Tlv(5, {'x'}), port, ttl})},
      {"a second chassis", Frame({chassis, port, ttl, chassis})},
      {"a second TTL", Frame({chassis, port, ttl, ttl})},
      {"a zero-length chassis", Frame({Tlv(1, {}), port, ttl})},
      {"a chassis of its subtype only", Frame({Tlv(1, {7}), port, ttl})},
      {"a chassis over 255 octets", Frame({Tlv(1, Bytes(257, 'a')), port, ttl})},
      {"a chassis of NULs only", Frame({Tlv(1, {7, 0, 0}), port, ttl})},
      {"a MAC chassis of 5 octets", Frame({Tlv(1, {4, 1, 2, 3, 4, 5}), port, ttl})},
      {"a MAC port of 7 octets", Frame({chassis, Tlv(2, {3, 1, 2, 3, 4, 5, 6, 7}), ttl})},
      {"a TTL of one octet", Frame({chassis, port, Tlv(3, {1})})},
      {"half a TLV header at the end",
       [&] {
         Bytes f = Frame({chassis, port, ttl}, false);
         f.push_back(0x0a);
         return f;
       }()},
  };
  for (const auto& [what, frame] : malformed) {
    TLLDPNeighbour n;
    n.ChassisId = "kept";
    EXPECT_EQ(Parse(frame, n), TLLDPParse::Malformed) << what;
    EXPECT_EQ(n.ChassisId, "kept") << what << ": a rejected frame leaves the result alone";
  }
  // A TLV whose length reaches past the frame's end, at every cut of a good frame.
  const Bytes good = Frame({chassis, Tlv(2, Id(5, "Gi1/0/7")), ttl, Tlv(127, Bytes(40, 9))}, false);
  TLLDPNeighbour n;
  ASSERT_EQ(Parse(good, n), TLLDPParse::Ok);
  // (Cut right after the TTL TLV, the frame ends exactly with a whole TLV: that one is good.)
  const size_t leadingEnd = Frame({chassis, Tlv(2, Id(5, "Gi1/0/7")), ttl}, false).size();
  for (size_t cut = Header.size(); cut < good.size(); ++cut)
    EXPECT_EQ(ParseLLDPFrame(good.data(), cut, n), cut == leadingEnd ? TLLDPParse::Ok : TLLDPParse::Malformed)
        << "cut at " << cut;
  // Not LLDP, or not to the nearest bridge: not for the node.
  Bytes other = good;
  other[13] = 0x00;
  EXPECT_EQ(Parse(other, n), TLLDPParse::NotLLDP);
  other = good;
  other[5] = 0x03;
  EXPECT_EQ(Parse(other, n), TLLDPParse::NotLLDP);
  EXPECT_EQ(ParseLLDPFrame(good.data(), 13, n), TLLDPParse::NotLLDP);
  EXPECT_EQ(ParseLLDPFrame(nullptr, 0, n), TLLDPParse::NotLLDP);

  // Random octets after a valid header never crash and never read outside the frame (the sanitizer
  // builds check the latter); whatever they yield is printable.
  std::mt19937 random(22);
  for (int round = 0; round < 20000; ++round) {
    // Half the rounds after the leading TLVs, so that the optional ones are walked too.
    Bytes frame = round % 2 ? Frame({chassis, port, ttl}, false) : Header;
    const size_t size = random() % 600;
    for (size_t i = 0; i < size; ++i)
      frame.push_back(static_cast<uint8_t>(random()));
    TLLDPNeighbour found;
    if (Parse(frame, found) != TLLDPParse::Ok) continue;
    for (char c : found.ChassisId + found.PortId) {
      ASSERT_TRUE(c >= 0x20 && c < 0x7f);
    }
  }
}

TEST(AttachedDevice, GoesToTheServedInterfaceOnly) {
  const json firmware =
      json::parse(R"([{"name": "Primary", "port_id": "02-4d-51-3a-7c-18", "chassis_id": null}])");
  TLLDPNeighbour sw;
  sw.ChassisId = "00-1b-21-aa-bb-0c";
  sw.PortId = "Gi1/0/7";
  const json attached = {{"chassis_id", "00-1b-21-aa-bb-0c"}, {"port_id", "Gi1/0/7"}};

  // The node's only interface stands for the served one whatever its name.
  json interfaces = firmware;
  EXPECT_TRUE(AttachNeighbour(interfaces, "eth0", "", &sw));
  EXPECT_EQ(interfaces[0]["attached_network_device"], attached);
  EXPECT_FALSE(AttachNeighbour(interfaces, "eth0", "", &sw)) << "the same neighbour again changes nothing";
  EXPECT_TRUE(AttachNeighbour(interfaces, "eth0", "", nullptr));
  EXPECT_EQ(interfaces, firmware) << "withdrawn, the entry is the firmware's again";
  EXPECT_FALSE(AttachNeighbour(interfaces, "eth0", "", nullptr));

  // Of several, the one of that name, else the one with the interface's hardware address; none else.
  interfaces = firmware;
  interfaces.push_back({{"name", "eth1"}, {"port_id", "02-00-00-00-00-01"}, {"chassis_id", nullptr}});
  interfaces.push_back({{"name", "Secondary"}, {"port_id", "02-00-00-00-00-02"}, {"chassis_id", nullptr}});
  EXPECT_EQ(AttachedInterface(interfaces, "eth1", "02-00-00-00-00-02"), 1);
  EXPECT_EQ(AttachedInterface(interfaces, "eth9", "02-00-00-00-00-02"), 2);
  EXPECT_EQ(AttachedInterface(interfaces, "eth9", "02-00-00-00-00-09"), -1);
  EXPECT_EQ(AttachedInterface(interfaces, "eth9", ""), -1);
  EXPECT_TRUE(AttachNeighbour(interfaces, "eth9", "02-00-00-00-00-02", &sw));
  EXPECT_EQ(interfaces[2]["attached_network_device"], attached);
  // The served interface now answers to another entry: the switch port moves there.
  EXPECT_TRUE(AttachNeighbour(interfaces, "eth1", "02-00-00-00-00-02", &sw));
  EXPECT_EQ(interfaces[1]["attached_network_device"], attached);
  EXPECT_FALSE(interfaces[2].contains("attached_network_device"));
  EXPECT_FALSE(interfaces[0].contains("attached_network_device"));

  // Nothing to attach to.
  json none = json::array();
  EXPECT_FALSE(AttachNeighbour(none, "eth0", "", &sw));
  json notAList = json::object();
  EXPECT_FALSE(AttachNeighbour(notAList, "eth0", "", &sw));
}
