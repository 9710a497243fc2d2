// Firmware documents of a device with a given number of streams, for the in-process bridge tests: the
// configuration ("cmd" 0) or the state ("cmd" 1). Stream i has stable identifiers; every third
// transmit stream is disabled, odd ones are multicast. The device reports a loopback address, so the
// transport files a bridge fetches from it never leave the machine.
#pragma once

#include "Types.h"

#include <cstdio>
#include <string>

namespace Qel_nmos_bridge {

inline json Scenario(int streams, bool state) {
  json tx = json::array(), rx = json::array(), names = json::array();
  for (int i = 0; i < streams; ++i) {
    char id[40];
    snprintf(id, sizeof id, "1a2b3c4d-0000-4000-8000-%012d", i);
    char source[40];
    snprintf(source, sizeof source, "2a2b3c4d-0000-4000-8000-%012d", i);
    char rid[40];
    snprintf(rid, sizeof rid, "3a2b3c4d-0000-4000-8000-%012d", i);
    tx.push_back(
        {{"id", id},
         {"name", "TX" + std::to_string(i)},
         {"enabled", i % 3 != 0},
         {"address", i % 2 ? "239.69.1." + std::to_string(i + 1) : "10.0.0." + std::to_string(i + 1)},
         {"port", 5004},
         {"index", i},
         {"source_id", source},
         {"samples-per-packet", 48},
         {"channels", 2},
         {"src", {2 * i, 2 * i + 1}},
         {"codec", "L24"}});
    rx.push_back({{"id", rid},
                  {"name", "RX" + std::to_string(i)},
                  {"info", "in"},
                  {"source", i % 2 ? "239.69.9.1" : ""},
                  {"enabled", i % 2 == 1}});
    names.push_back("ch" + std::to_string(2 * i));
    names.push_back("ch" + std::to_string(2 * i + 1));
  }
  if (!state)
    return {{"cmd", 0},
            {"node_id", "4a2b3c4d-0000-4000-8000-000000000000"},
            {"device_id", "5a2b3c4d-0000-4000-8000-000000000000"},
            {"sync", {{"fs", 48000}}},
            {"tx-streams", tx},
            {"rx-streams", rx}};
  return {{"cmd", 1},         {"mac", "02:00:00:00:00:01"},       {"ip", "127.0.0.99"},
          {"name", "fuzz"},   {"syncState", {"Slave", "Locked"}}, {"tx-streams", tx},
          {"rx-streams", rx}, {"TXTB", json::array({names})},     {"RXTB", json::array({names})}};
}

} // namespace Qel_nmos_bridge
