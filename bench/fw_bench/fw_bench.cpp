// Prints how long the bridge takes to process the firmware's first configuration and state of a
// 64 + 64 stream device, and a configuration that changes one stream. No network: the documents go
// straight to the firmware client as if they had arrived on its websocket.
#include "AES67FWClient.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"

#include <chrono>
#include <cstdio>
#include <string>

using namespace Qel_nmos_bridge;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Streams = 64;

std::string Uuid(int kind, int index) {
  char text[40];
  snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", 0x10000000u + static_cast<unsigned>(kind), index);
  return text;
}

json TxStream(int i) {
  json src = json::array();
  for (int c = 0; c < 8; ++c)
    src.push_back(i * 8 + c);
  return {{"id", Uuid(1, i)},
          {"name", "TX " + std::to_string(i)},
          {"enabled", true},
          {"address", i % 2 ? "192.168.10." + std::to_string(100 + i) : "239.69.10." + std::to_string(1 + i)},
          {"address2", "0.0.0.0"},
          {"port", 5004},
          {"index", i},
          {"source_id", Uuid(2, i)},
          {"samples-per-packet", i % 2 ? 6 : 48},
          {"channels", 8},
          {"src", src},
          {"codec", i % 3 ? "L24" : "L16"}};
}

json RxStream(int i) {
  return {{"id", Uuid(3, i)},
          {"name", "RX " + std::to_string(i)},
          {"info", "receive " + std::to_string(i)},
          {"source", ""},
          {"source2", "0.0.0.0"},
          {"enabled", false}};
}

json Config() {
  json tx = json::array(), rx = json::array();
  for (int i = 0; i < Streams; ++i) {
    tx.push_back(TxStream(i));
    rx.push_back(RxStream(i));
  }
  return {{"cmd", 0},         {"node_id", Uuid(4, 0)}, {"device_id", Uuid(5, 0)}, {"sync", {{"fs", 48000}}},
          {"tx-streams", tx}, {"rx-streams", rx}};
}

json State(const json& config) {
  json names = json::array();
  for (int c = 0; c < Streams * 8; ++c)
    names.push_back("ch " + std::to_string(c));
  return {{"cmd", 1},
          {"mac", "02:4D:51:3A:7C:18"},
          {"ip", "127.0.0.1"},
          {"name", "bench-node"},
          {"syncState", {"Slave", "Locked"}},
          {"tx-streams", config["tx-streams"]},
          {"rx-streams", config["rx-streams"]},
          {"TXTB", json::array({names})},
          {"RXTB", json::array({names})}};
}

double Millis(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

} // namespace

int main() {
  char* argv[] = {const_cast<char*>("fw_bench"), const_cast<char*>("/box"), const_cast<char*>("127.0.0.1:1")};
  TQELNMOSConfig config(3, argv);
  const json cfg = Config();
  const json state = State(cfg);
  const std::string cfgText = cfg.dump(), stateText = state.dump();

  const int rounds = 5;
  double first = 0, change = 0;
  for (int r = 0; r < rounds; ++r) {
    TQELNMOSBridge* bridge = new TQELNMOSBridge(&config, GetLWSSetup());
    auto& fw = bridge->AESFWClient();
    auto t0 = Clock::now();
    fw.HandleJSON(cfgText.c_str());
    fw.HandleJSON(stateText.c_str());
    auto t1 = Clock::now();
    json changed = cfg;
    changed["tx-streams"][17]["address"] = "239.69.99.17";
    const std::string changedText = changed.dump();
    auto t2 = Clock::now();
    fw.HandleJSON(changedText.c_str());
    auto t3 = Clock::now();
    first += Millis(t0, t1);
    change += Millis(t2, t3);
    if (r == 0) {
      TNodeDBReadLocker lock(bridge->Data());
      printf("resources: %zu senders, %zu receivers, %zu sources, %zu flows\n",
             bridge->Data().Get("/senders").size(), bridge->Data().Get("/receivers").size(),
             bridge->Data().Get("/sources").size(), bridge->Data().Get("/flows").size());
    }
    bridge->Destroy();
  }
  printf("first configuration + state (64 tx + 64 rx streams): %.2f ms (mean of %d)\n", first / rounds,
         rounds);
  printf("configuration changing one stream:                  %.3f ms (mean of %d)\n", change / rounds,
         rounds);
  return 0;
}
