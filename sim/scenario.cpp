#include "scenario.hpp"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace aes67fw_sim {
namespace {

constexpr int kSampleRate = 48000;
constexpr int kRtpPort = 5004;
constexpr const char* kHostName = "qel8152-3a7c18";
constexpr const char* kMac = "02:4D:51:3A:7C:18";

// Stable pseudo-random UUIDs (version 4 layout) from a kind and a position.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::string StableUuid(unsigned kind, unsigned index) {
  const std::uint64_t seed = 0x3a7c18ULL << 24 | std::uint64_t{kind} << 20 | index;
  const std::uint64_t hi = Mix(seed);
  const std::uint64_t lo = Mix(hi ^ seed);
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                static_cast<unsigned>(hi >> 16 & 0xffff), static_cast<unsigned>(hi & 0x0fff),
                static_cast<unsigned>(0x8000 | (lo >> 48 & 0x3fff)),
                static_cast<unsigned long long>(lo & 0xffffffffffffULL));
  return text;
}

enum IdKind : unsigned { kNode = 1, kDevice, kTxStream, kTxSource, kRxStream };

// One transmit stream profile per slot, repeated for larger devices.
struct TxProfile {
  const char* name;
  const char* codec;
  int samples_per_packet;
  int channels;
  bool multicast;
};

constexpr TxProfile kTxProfiles[] = {
    {"Stage Box A", "L24", 48, 8, true}, {"Program", "L24", 6, 2, true},
    {"Talkback", "L16", 48, 2, false},   {"Ambience", "L24", 48, 4, true},
    {"Stage Box B", "L16", 6, 8, true},  {"Announcer", "L24", 48, 1, false},
    {"Playback", "L24", 6, 2, true},     {"Monitor Mix", "L16", 48, 4, true},
};
constexpr unsigned kProfiles = sizeof kTxProfiles / sizeof kTxProfiles[0];

struct RxProfile {
  const char* name;
  const char* info;
};

constexpr RxProfile kRxProfiles[] = {
    {"Console Main", "Main bus from the front-of-house console"},
    {"Console Aux", "Auxiliary sends for the stage monitors"},
    {"Intercom", "Production intercom ring"},
    {"Recorder Return", "Playback from the multitrack recorder"},
    {"Studio Feed", "Feed from studio 2"},
    {"Playout", "Automation playout"},
    {"Effects Return", "Reverb and delay returns"},
    {"Reference", "Reference tone and timecode"},
};
constexpr unsigned kRxProfileCount = sizeof kRxProfiles / sizeof kRxProfiles[0];
constexpr unsigned kRxChannelsPerStream = 4;

// Repeats of a profile carry a number: "Program", "Program 2", ...
std::string NumberedName(const char* base, unsigned index) {
  const unsigned round = index / kProfiles;
  return round == 0 ? std::string(base) : std::string(base) + " " + std::to_string(round + 1);
}

std::string Ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

std::string TxAddress(const TxProfile& p, unsigned index) {
  if (p.multicast) return Ipv4(239, 69, 10 + index / 250, 1 + index % 250);
  return Ipv4(192, 168, 10, 100 + index % 100);
}

std::string ChannelName(const std::string& stream, int channels, int c) {
  if (channels == 1) return stream;
  if (channels == 2) return stream + (c == 0 ? " L" : " R");
  return stream + " " + std::to_string(c + 1);
}

json TxStream(unsigned index, unsigned& next_channel, json& names) {
  const TxProfile& p = kTxProfiles[index % kProfiles];
  const std::string name = NumberedName(p.name, index);
  json src = json::array();
  for (int c = 0; c < p.channels; ++c) {
    src.push_back(next_channel++);
    names.push_back(ChannelName(name, p.channels, c));
  }
  return {{"id", StableUuid(kTxStream, index)},
          {"name", name},
          {"enabled", true},
          {"address", TxAddress(p, index)},
          {"address2", "0.0.0.0"},
          {"port", kRtpPort},
          {"index", index},
          {"source_id", StableUuid(kTxSource, index)},
          {"samples-per-packet", p.samples_per_packet},
          {"channels", p.channels},
          {"src", src},
          {"codec", p.codec}};
}

// Every other receiver follows a multicast stream of another device; the rest wait for a connection.
json RxStream(unsigned index, json& names) {
  const RxProfile& p = kRxProfiles[index % kRxProfileCount];
  const std::string name = NumberedName(p.name, index);
  for (unsigned c = 0; c < kRxChannelsPerStream; ++c)
    names.push_back(name + " " + std::to_string(c + 1));
  const bool following = index % 2 == 0;
  return {{"id", StableUuid(kRxStream, index)},
          {"name", name},
          {"info", p.info},
          {"source", following ? Ipv4(239, 69, 200 + index / 250, 1 + index % 250) : ""},
          {"source2", "0.0.0.0"},
          {"enabled", following}};
}

std::string AdoptDocument(json& doc, int cmd) {
  if (!doc.is_object()) return "the document must be a JSON object";
  doc["cmd"] = cmd;
  return {};
}

} // namespace

Scenario BuiltinScenario(unsigned streams, const std::string& device_ip) {
  json tx = json::array(), rx = json::array();
  json tx_names = json::array(), rx_names = json::array();
  unsigned next_channel = 0;
  for (unsigned i = 0; i < streams; ++i) {
    tx.push_back(TxStream(i, next_channel, tx_names));
    rx.push_back(RxStream(i, rx_names));
  }
  Scenario s;
  s.config = {{"cmd", 0},
              {"node_id", StableUuid(kNode, 0)},
              {"device_id", StableUuid(kDevice, 0)},
              {"sync", {{"fs", kSampleRate}}},
              {"tx-streams", tx},
              {"rx-streams", rx}};
  // The state repeats the streams as running; the channel-name tables hold one table each, indexed by
  // firmware channel number.
  s.state = {{"cmd", 1},
             {"mac", kMac},
             {"ip", device_ip},
             {"name", kHostName},
             {"syncState", {"Slave", "Locked"}},
             {"tx-streams", tx},
             {"rx-streams", rx},
             {"TXTB", json::array({tx_names})},
             {"RXTB", json::array({rx_names})}};
  return s;
}

Scenario LoadScenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open scenario file " + path);
  json file = json::parse(in, nullptr, false);
  if (file.is_discarded()) throw std::runtime_error("scenario file " + path + " is not valid JSON");
  if (!file.is_object() || !file.contains("config") || !file.contains("state"))
    throw std::runtime_error("scenario file " + path + " needs the members \"config\" and \"state\"");
  Scenario s{file["config"], file["state"]};
  std::string why = AdoptConfig(s.config);
  if (why.empty()) why = AdoptState(s.state);
  if (!why.empty()) throw std::runtime_error("scenario file " + path + ": " + why);
  return s;
}

std::string AdoptConfig(json& doc) {
  return AdoptDocument(doc, 0);
}
std::string AdoptState(json& doc) {
  return AdoptDocument(doc, 1);
}

} // namespace aes67fw_sim
