// What a difference between two of the firmware's documents means to the node: the compare tables of
// the configuration and the state document, and the bridge call or store write that each change of
// them becomes.
#pragma once

#include "JsonCompare.h"

namespace Qel_proto_aes67fw {

using json = Qel_nmos_bridge::json;

class IAES67FWBridgeOps;

// The changes from the last configuration (state) document to a new one, in the order they are to be
// handed on: table entry by table entry, each differing element once.
Qel_nmos_bridge::TJsonChanges ConfigChanges(const json& last, const json& doc);
Qel_nmos_bridge::TJsonChanges StateChanges(const json& last, const json& doc);

// Hands each change of one new document to the bridge once, in order. `doc` is the new document;
// `lastConfig` and `lastState` are the documents stored before it (the one `doc` replaces among them).
// A change whose handling fails by exception is logged and the next one still goes. Every sender
// (receiver) that the document asks to be built again from the configuration is built once, before
// the next single stream is updated and at the end.
void ApplyFirmwareChanges(IAES67FWBridgeOps& bridge, const Qel_nmos_bridge::TJsonChanges& changes,
                          const json& doc, const json& lastConfig, const json& lastState);

} // namespace Qel_proto_aes67fw
