// What the IS-05 documents of senders and receivers are at one Connection API version, and what each
// version lets a controller send. The node keeps each resource's constraints, staged and active
// parameters once, as the newest version it serves has them; v1.0 knows no externally defined
// ("ext_") transport parameters, which v1.1 added, so its view leaves them out.
#pragma once

#include "Types.h"

#include <string>

namespace Qel_nmos_bridge {

// What a Connection API version adds to the oldest one.
struct TConnectionRules {
  bool ExtParams = false;          // "ext_<name>" transport parameters, in requests and constraints
  bool WholeTransportFile = false; // a staged transport_file names both "data" and "type"
  bool TransportType = false;      // every sender and receiver serves "transporttype"
};

// The rules of a version as it reads in URLs ("v1.1"); a text that is no version gets the oldest's.
TConnectionRules ConnectionRules(const std::string& version);

// Whether a transport parameter is an externally defined one: "ext_" and then letters, digits or "_".
bool IsExtParam(const std::string& name);

// A constraints document (one entry per transport leg) as `version` has it.
json ConstraintsView(const json& constraints, const std::string& version);
// A staged or active document (its "transport_params" legs) as `version` has it.
json ParamsView(const json& doc, const std::string& version);

} // namespace Qel_nmos_bridge
