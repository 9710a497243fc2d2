// Prints how long the bridge takes to go from 1,500 transmit and receive streams back to 4: the
// firmware document that removes them is handled in one turn of the worker's loop, during which the
// Node API cannot answer, and the registration records then end over the next seconds (no registry
// is reachable, so each deregistration ends by its deadline). No network: the documents go straight
// to the firmware client.
#include "AES67FWClient.h"
#include "BridgeScenario.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "NMOSRegClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

using namespace Qel_nmos_bridge;
using Clock = std::chrono::steady_clock;

namespace {

double Millis(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

size_t Records(TQELNMOSBridge& bridge) {
  json stats;
  bridge.RegClient().AsBC().UpdateStats("reg", stats);
  return stats["reg"]["MachineCount"].get<size_t>();
}

// Turns the loop until the number of records settles at `target` (or 10 s pass); the longest turn.
double CycleUntil(TQELNMOSBridge& bridge, size_t target, double& total) {
  double longest = 0;
  const auto start = Clock::now();
  while (Records(bridge) != target && Millis(start, Clock::now()) < 10000) {
    const auto t = Clock::now();
    bridge.ServiceHost().DoCycle();
    longest = std::max(longest, Millis(t, Clock::now()));
  }
  total = Millis(start, Clock::now());
  return longest;
}

} // namespace

int main(int argc, char** argv) {
  const int many = argc > 1 ? std::max(5, atoi(argv[1])) : 1500;
  char* args[] = {const_cast<char*>("lifetime_bench"), const_cast<char*>("/box"),
                  const_cast<char*>("127.0.0.1:1")};
  TQELNMOSConfig config(3, args);
  TQELNMOSBridge* bridge = new TQELNMOSBridge(&config, GetLWSSetup());
  auto& fw = bridge->AESFWClient();

  const std::string bigText = Scenario(many, false).dump(), smallText = Scenario(4, false).dump();
  auto t0 = Clock::now();
  fw.HandleJSON(bigText.c_str());
  auto t1 = Clock::now();
  fw.HandleJSON(Scenario(many, true).dump().c_str());
  const size_t records = Records(*bridge);
  printf("%d tx + %d rx streams built in %.0f ms (%zu registration records)\n", many, many, Millis(t0, t1),
         records);

  t0 = Clock::now();
  fw.HandleJSON(smallText.c_str());
  t1 = Clock::now();
  size_t left = 0;
  {
    TNodeDBReadLocker lock(bridge->Data());
    for (const char* collection : {"/devices", "/senders", "/receivers", "/sources", "/flows"})
      left += bridge->Data().Get(collection).size();
    printf("back to 4 streams: the removing document took %.0f ms (the Node API waits that long); "
           "left: %zu senders, %zu receivers, %zu sources, %zu flows\n",
           Millis(t0, t1), bridge->Data().Get("/senders").size(), bridge->Data().Get("/receivers").size(),
           bridge->Data().Get("/sources").size(), bridge->Data().Get("/flows").size());
  }
  double total = 0;
  const double longest = CycleUntil(*bridge, left + 1, total); // and the node's
  printf("records left after %.0f ms of loop turns: %zu; longest turn %.1f ms\n", total, Records(*bridge),
         longest);
  bridge->Destroy();
  return 0;
}
