// Where a neighbour learnt by LLDP on the node's host interface shows in the node's documents: as
// "attached_network_device" of one entry of the node's "interfaces".
#pragma once

#include "LLDPFrame.h"

#include <nlohmann/json.hpp>

#include <string>

namespace Qel_nmos_bridge {

// The entry of `interfaces` that stands for host interface `ifname` (hardware address `mac`,
// "xx-xx-xx-xx-xx-xx"; "" when unknown): the one of that name, else the one whose "port_id" is that
// address, else the only entry the node has. -1 when none.
int AttachedInterface(const nlohmann::json& interfaces, const std::string& ifname, const std::string& mac);

// Makes `interfaces` carry `neighbour` (null: none) as {"chassis_id", "port_id"} on the entry
// AttachedInterface picks, and on no other. Returns whether anything changed.
bool AttachNeighbour(nlohmann::json& interfaces, const std::string& ifname, const std::string& mac,
                     const TLLDPNeighbour* neighbour);

} // namespace Qel_nmos_bridge
