#include "BenchDocuments.h"

#include <uuid/uuid.h>

namespace Qel_nmos_bridge {

namespace {

const int ChannelsPerStream = 8;

json Core(const char* Type, const std::string& Id, const std::string& Label) {
  return {{"id", Id},
          {"version", "1700000000:123456789"},
          {"label", Label},
          {"description", ""},
          {"tags", json::object()},
          {"resource_type", Type}};
}

std::string Multicast(int Block, int Index) {
  return "239.69." + std::to_string(Block) + "." + std::to_string(Index + 1);
}

} // namespace

std::string NewUUID() {
  uuid_t uuid;
  char text[37];
  uuid_generate(uuid);
  uuid_unparse_lower(uuid, text);
  return text;
}

json SenderDocument(int Index, const std::string& Id, const std::string& FlowId,
                    const std::string& DeviceId) {
  json sender = Core("sender", Id, "TX " + std::to_string(Index) + "@stagebox-01");
  sender["device_id"] = DeviceId;
  sender["manifest_href"] = "http://127.0.0.1/sdp/" + Id + ".sdp";
  sender["interface_bindings"] = {"eth0"};
  sender["flow_id"] = FlowId;
  sender["transport"] = "urn:x-nmos:transport:rtp.mcast";
  sender["subscription"] = {{"active", true}, {"receiver_id", nullptr}};
  return sender;
}

json ReceiverDocument(int Index, const std::string& Id, const std::string& DeviceId) {
  json receiver = Core("receiver", Id, "RX " + std::to_string(Index));
  receiver["description"] = "Receive stream " + std::to_string(Index);
  receiver["format"] = "urn:x-nmos:format:audio";
  receiver["caps"] = {{"media_types", {"audio/L16", "audio/L20", "audio/L24"}}};
  receiver["device_id"] = DeviceId;
  receiver["transport"] = "urn:x-nmos:transport:rtp";
  receiver["interface_bindings"] = {"eth0"};
  receiver["subscription"] = {{"sender_id", nullptr}, {"active", false}};
  return receiver;
}

json SourceDocument(int Index, const std::string& Id, const std::string& DeviceId) {
  json source = Core("source", Id, "TX " + std::to_string(Index));
  source["grain_rate"] = {{"numerator", 1000}, {"denominator", 1}};
  source["device_id"] = DeviceId;
  source["clock_name"] = "clk0";
  source["parents"] = json::array();
  source["caps"] = json::object();
  source["format"] = "urn:x-nmos:format:audio";
  for (int c = 0; c < ChannelsPerStream; ++c)
    source["channels"].push_back({{"label", "Input " + std::to_string(Index * ChannelsPerStream + c + 1)}});
  return source;
}

json FlowDocument(int Index, const std::string& Id, const std::string& SourceId,
                  const std::string& DeviceId) {
  json flow = Core("flow", Id, "TX " + std::to_string(Index));
  flow["grain_rate"] = {{"numerator", 1000}, {"denominator", 1}};
  flow["device_id"] = DeviceId;
  flow["source_id"] = SourceId;
  flow["parents"] = json::array();
  flow["media_type"] = "audio/L24";
  flow["bit_depth"] = 24;
  flow["format"] = "urn:x-nmos:format:audio";
  flow["sample_rate"] = {{"numerator", 48000}, {"denominator", 1}};
  return flow;
}

json FirmwareConfig(int Streams) {
  json config = {
      {"cmd", 0}, {"node_id", NewUUID()}, {"device_id", NewUUID()}, {"sync", {{"fs", 48000}, {"domain", 0}}}};
  for (int i = 0; i < Streams; ++i) {
    json src = json::array();
    for (int c = 0; c < ChannelsPerStream; ++c)
      src.push_back(i * ChannelsPerStream + c);
    config["tx-streams"].push_back({{"id", NewUUID()},
                                    {"name", "TX " + std::to_string(i)},
                                    {"enabled", true},
                                    {"address", Multicast(1, i)},
                                    {"address2", ""},
                                    {"port", 5004},
                                    {"index", i},
                                    {"source_id", NewUUID()},
                                    {"samples-per-packet", 48},
                                    {"channels", ChannelsPerStream},
                                    {"src", src},
                                    {"codec", "L24"}});
    config["rx-streams"].push_back({{"id", NewUUID()},
                                    {"name", "RX " + std::to_string(i)},
                                    {"info", ""},
                                    {"source", Multicast(2, i)},
                                    {"source2", ""},
                                    {"enabled", i % 2 == 0}});
  }
  for (int c = 0; c < Streams * ChannelsPerStream; ++c) {
    config["TXTB"].push_back("Input " + std::to_string(c + 1));
    config["RXTB"].push_back("Output " + std::to_string(c + 1));
  }
  return config;
}

} // namespace Qel_nmos_bridge
