#include "sdp.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <sstream>

namespace aes67fw_sim {
namespace {

using json = nlohmann::json;

template <typename T> T Member(const json& obj, const char* key, T fallback) {
  if (!obj.is_object()) return fallback;
  const auto it = obj.find(key);
  if (it == obj.end()) return fallback;
  try {
    return it->get<T>();
  } catch (const json::exception&) {
    return fallback;
  }
}

bool IsMulticast(const std::string& address) {
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 28) == 0xe;
}

const json* FindStream(const json& config, const std::string& id) {
  const auto it = config.find("tx-streams");
  if (it == config.end() || !it->is_array()) return nullptr;
  for (const json& stream : *it)
    if (Member<std::string>(stream, "id", "") == id) return &stream;
  return nullptr;
}

// "02:4D:51:3A:7C:18" becomes the EUI-64 "02-4D-51-FF-FE-3A-7C-18" that PTP uses as clock identity.
std::string ClockIdentity(const std::string& mac) {
  unsigned b[6];
  if (std::sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
    return "00-00-00-00-00-00-00-00";
  char text[32];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-FF-FE-%02X-%02X-%02X", b[0] & 0xff, b[1] & 0xff,
                b[2] & 0xff, b[3] & 0xff, b[4] & 0xff, b[5] & 0xff);
  return text;
}

} // namespace

std::string PacketTime(long long samples_per_packet, long long sample_rate) {
  if (samples_per_packet <= 0 || sample_rate <= 0) return "1";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", 1000.0 * static_cast<double>(samples_per_packet) / sample_rate);
  std::string t = text;
  while (t.back() == '0')
    t.pop_back();
  if (t.back() == '.') t.pop_back();
  return t;
}

std::optional<std::string> SenderSdp(const json& config, const json& state, const std::string& sender_id) {
  if (!config.is_object()) return std::nullopt;
  const json* stream = FindStream(config, sender_id);
  if (stream == nullptr) return std::nullopt;

  const auto rate = Member<long long>(config.value("sync", json::object()), "fs", 48000);
  const auto spp = Member<long long>(*stream, "samples-per-packet", 48);
  const auto channels = Member<long long>(*stream, "channels", 2);
  const auto port = Member<long long>(*stream, "port", 5004);
  const auto index = Member<long long>(*stream, "index", 0);
  const auto codec = Member<std::string>(*stream, "codec", "L24");
  const auto name = Member<std::string>(*stream, "name", "TX" + std::to_string(index));
  const auto address = Member<std::string>(*stream, "address", "0.0.0.0");
  const auto device_ip = Member<std::string>(state, "ip", "0.0.0.0");
  const std::string clock = ClockIdentity(Member<std::string>(state, "mac", ""));
  const bool multicast = IsMulticast(address);

  std::ostringstream sdp;
  sdp << "v=0\r\n"
      << "o=- " << 1000 + index << " 0 IN IP4 " << device_ip << "\r\n"
      << "s=" << name << "\r\n"
      << "t=0 0\r\n"
      << "a=clock-domain:PTPv2 0\r\n"
      << "m=audio " << port << " RTP/AVP 96\r\n"
      << "i=" << channels << " channels: " << name
      << "\r\n"
      // The connection line belongs to the stream's media description, where readers look for it.
      << "c=IN IP4 " << address << (multicast ? "/32" : "") << "\r\n"
      << "a=rtpmap:96 " << codec << "/" << rate << "/" << channels << "\r\n"
      << "a=ptime:" << PacketTime(spp, rate) << "\r\n";
  if (multicast) sdp << "a=source-filter: incl IN IP4 " << address << " " << device_ip << "\r\n";
  sdp << "a=recvonly\r\n"
      << "a=ts-refclk:ptp=IEEE1588-2008:" << clock << ":0\r\n"
      << "a=mediaclk:direct=0\r\n";
  return sdp.str();
}

} // namespace aes67fw_sim
