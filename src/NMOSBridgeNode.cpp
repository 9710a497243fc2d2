// The node and device resources: the firmware's node and device identifiers, host name, address,
// interfaces and clocks become the NMOS node ("/self") and its one device.
#include "APIRoutes.h"
#include "AttachedDevice.h"
#include "BridgeDocs.h"
#include "HostAddress.h"
#include "LLDPListener.h"
#include "MDNSBridge.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "NMOSQueryClient.h"
#include "NMOSRegClient.h"
#include "ResourceCore.h"
#include "ResourceTags.h"
#include "SenderSDP.h"
#include "helpers.h"

#include <cstdio>

namespace Qel_nmos_bridge {

namespace {

const char* const NodeDescription = "QEL 61-8152 AES67";
const char* const NMOS_MODULE_TYPE = "8152";
const char* const DevicePathTemp = "/devices/temp";

void AddIfMissing(json& doc, const char* member, json value) {
  if (!doc.contains(member)) doc[member] = std::move(value);
}

// The host of the node's own API: the first endpoint's, else the configured address.
std::string NodeHost(const json& node, const IQELNMOSConfig* cfg) {
  if (node.is_object() && node.contains("api") && node["api"].is_object()) {
    const json endpoints = IQELNMOSNodeData::JsonExtract(node["api"], "endpoints", json::array());
    if (!endpoints.empty()) {
      std::string host = Text(endpoints[0], "host");
      if (!host.empty()) return host;
    }
  }
  return cfg->GetBridgeAddress();
}

// The device's Connection API: one control per version served, at the node's own address.
json ConnectionControls(const std::string& scheme, const std::string& host, int port, bool authorized) {
  json controls = json::array();
  if (host.empty()) return controls;
  for (const std::string& version : ConnectionAPIVersions)
    controls.push_back(
        {{"type", "urn:x-nmos:control:sr-ctrl/" + version},
         {"href", scheme + "://" + host + ":" + std::to_string(port) + "/x-nmos/connection/" + version + "/"},
         {"authorization", authorized}});
  return controls;
}

// The ids of a collection of resources, in id order.
json Ids(const json& collection) {
  json ids = json::array();
  if (collection.is_object())
    for (auto it = collection.begin(); it != collection.end(); ++it)
      ids.push_back(it.key());
  return ids;
}

} // namespace

void TQELNMOSBridge::CreateNode(const json& ID) {
  // The identifier names the node's documents in the store and at the registry: nothing but a UUID.
  if (!ID.is_string() || !IsUUID(ID.get<std::string>())) {
    lws_log(QLLL_ERR, "The firmware's node_id %s is no UUID: not taken",
            ID.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    return;
  }
  const std::string id = ID.get<std::string>();
  json node;
  {
    TNodeDBReadLocker lock(Data());
    node = Data().Get("/self");
    ResourceCore(Node, node, id);
    node["tags"] = AssetTags(id, nullptr);
    if (!node["api"].is_object()) node["api"] = json::object();
    node["api"]["versions"] = {"v1.0", "v1.2", "v1.3"};
    if (!node["api"].contains("endpoints")) node["api"]["endpoints"] = json::array();
    AddIfMissing(node, "clocks", json::array());
    AddIfMissing(node, "services", json::array());
    AddIfMissing(node, "interfaces", json::array());
    AddIfMissing(node, "caps", json::object());
    AddIfMissing(node, "href", "");
    node["description"] = NodeDescription;
  }
  Publish(Node, "/self", node, "", TPublish::Always);
  RegClient().RegisterNode();
  QueryClient().Startup();
  QueryClient().SubscribeAll();
}

bool TQELNMOSBridge::SetIPAddress(const json& ip) {
  if (!ip.is_string()) return false;
  if (THostAddress(ip.get<std::string>()).IsNull()) {
    lws_log(QLLL_WARN, "The firmware reports no IPv4 address: \"%s\"", ip.get<std::string>().c_str());
  } else {
    TNodeDBWriteLocker lock(Data());
    if (!Data().Get("/intern").is_object()) Data().Set("/intern", json::object());
    SetIfChanged(Data(), "/intern/ip", ip);
  }
  json node;
  {
    TNodeDBReadLocker lock(Data());
    node = Data().Get("/self");
  }
  SetNodeAddresses(node);
  if (!Publish(Node, "/self", node, "").empty())
    lws_log(QLLL_INFO, "IPAddress changed : %s", ip.get<std::string>().c_str());
  UpdateDevice(0, json());
  return true;
}

// The node's API is served at its own address only; the firmware service is no Node API.
void TQELNMOSBridge::SetNodeAddresses(json& node) {
  const int port = BoxConfig()->GetBridgePort();
  if (!node.is_object()) node = json::object();
  if (!node["api"].is_object()) node["api"] = json::object();
  const std::string host = NodeAddress();
  json endpoints = json::array();
  if (!host.empty())
    endpoints.push_back({{"host", host},
                         {"port", port},
                         {"protocol", APIScheme()},
                         {"authorization", (BoxConfig()->GetProtectedAPIs() & ProtectNodeAPI) != 0}});
  node["api"]["endpoints"] = endpoints;
  json& services = node["services"];
  if (!services.is_array()) services = json::array();
  if (services.empty()) services.push_back(json::object());
  services[0]["href"] = FirmwareURL("/");
  services[0]["type"] = "urn:x-manufacturer:service:status";
  services[0]["authorization"] = false;
  node["href"] = host.empty() ? std::string() : APIScheme() + "://" + host + ":" + std::to_string(port) + "/";
}

bool TQELNMOSBridge::SetHostName(const json& name) {
  if (!name.is_string()) return false;
  json node;
  {
    TNodeDBReadLocker lock(Data());
    node = Data().Get("/self");
  }
  if (!node.is_object()) node = json::object();
  node["hostname"] = name;
  node["label"] = name;
  if (Publish(Node, "/self", node, "").empty()) return true;
  lws_log_setprefix(name.get<std::string>().c_str());
  lws_log(QLLL_INFO, "Hostname changed : %s", name.get<std::string>().c_str());
  MDNS().SetNodeName(name.get<std::string>());
  return true;
}

bool TQELNMOSBridge::SetNodeListEntry(const char* list, uint32_t index, const json& value) {
  char path[64];
  snprintf(path, sizeof path, "/self/%s/%u", list, index);
  std::string nodeId;
  {
    TNodeDBWriteLocker lock(Data());
    const json& node = Data().Get("/self");
    const json& entries =
        node.is_object() && node.contains(list) ? node[list] : IQELNMOSNodeData::GetEmptyJSON();
    if (entries.is_array() && index < entries.size() && entries[index] == value) return false;
    // A list entry can only be written where the list already reaches; fill any gap first.
    if (!entries.is_array()) Data().Set((std::string("/self/") + list).c_str(), json::array());
    for (size_t i = entries.is_array() ? entries.size() : 0; i < index; ++i) {
      std::string gap = std::string("/self/") + list + "/-";
      Data().Set(gap.c_str(), json::object());
    }
    const json& now = Data().Get(("/self/" + std::string(list)).c_str());
    if (index < now.size()) Data().Del(path);
    Data().Set(path, value);
    nodeId = Text(Data().Get("/self"), "id");
  }
  if (nodeId.empty()) return false;
  if (std::string(list) == "clocks") {
    lws_log(QLLL_INFO, "Clock %s changed : %s", path, value.dump().c_str());
  } else {
    lws_log(QLLL_INFO, "Interface %s changed : %s", path, value.dump().c_str());
    lws_log(QLLL_INFO, "/self: %s", Data().Get("/self").dump().c_str());
  }
  RegClient().PushNode(nodeId);
  return true;
}

// The firmware tells its PTP role but not the grandmaster it follows; the transport files of its own
// senders name it (ts-refclk). A PTP clock without a grandmaster carries the one they named last.
bool TQELNMOSBridge::SetClockInfo(uint32_t index, const json& clock) {
  if (Text(clock, "ref_type") != "ptp") return SetNodeListEntry("clocks", index, clock);
  json ptp = clock;
  const std::string learned = LearnedGrandmaster();
  if (!learned.empty() && Text(ptp, "gmid") == NoGrandmaster) ptp["gmid"] = learned;
  const bool changed = SetNodeListEntry("clocks", index, ptp);
  LearnGrandmaster();
  return changed;
}

std::string TQELNMOSBridge::LearnedGrandmaster() {
  TNodeDBReadLocker lock(Data());
  return Text(Data().Get("/intern"), "ptp_gmid");
}

// Reads the grandmaster from the transport file of one of the node's senders (one request in 10 s at
// most, whatever it brings) and puts it in the node's PTP clock when it differs.
void TQELNMOSBridge::LearnGrandmaster() {
  std::string manifest;
  {
    TNodeDBReadLocker lock(Data());
    const json& clocks = Data().Get("/self/clocks");
    bool ptp = false;
    if (clocks.is_array())
      for (const json& clock : clocks)
        ptp |= Text(clock, "ref_type") == "ptp";
    // The firmware's own copy: a sender's manifest_href may name the node's, behind TLS and tokens.
    const json& senders = Data().Get("/intern/senders");
    if (!ptp || !senders.is_object()) return;
    for (const json& sender : senders)
      if (!(manifest = Text(sender, "transportfile")).empty()) break;
  }
  const int64_t now = MonotonicSeconds();
  if (manifest.empty() || (GrandmasterAsked != 0 && now - GrandmasterAsked < 10)) return;
  GrandmasterAsked = now;
  SDPFetcher().Fetch(manifest, [this](const std::string& sdp) {
    const std::string gmid = SDPPTPGrandmaster(sdp);
    if (gmid.empty()) return;
    json clock;
    uint32_t index = 0;
    {
      TNodeDBWriteLocker lock(Data());
      if (!Data().Get("/intern").is_object()) Data().Set("/intern", json::object());
      SetIfChanged(Data(), "/intern/ptp_gmid", json(gmid));
      const json& clocks = Data().Get("/self/clocks");
      if (!clocks.is_array()) return;
      for (; index < clocks.size(); ++index)
        if (Text(clocks[index], "ref_type") == "ptp") break;
      if (index == clocks.size() || Text(clocks[index], "gmid") == gmid) return;
      clock = clocks[index];
    }
    clock["gmid"] = gmid;
    lws_log(QLLL_NOTICE, "PTP grandmaster %s", gmid.c_str());
    SetNodeListEntry("clocks", index, clock);
  });
}

// The firmware rewrites its interface entries whole; the switch port learnt by LLDP is merged in, so that
// an entry the firmware reports again unchanged changes nothing.
bool TQELNMOSBridge::SetInterfaceInfo(uint32_t index, const json& iface) {
  json entry = iface;
  if (ILLDPListener* lldp = LLDP()) {
    json interfaces;
    {
      TNodeDBReadLocker lock(Data());
      interfaces = IQELNMOSNodeData::JsonExtract(Data().Get("/self"), "interfaces", json::array());
    }
    if (!interfaces.is_array()) interfaces = json::array();
    while (interfaces.size() <= index)
      interfaces.push_back(json::object());
    interfaces[index] = iface;
    AttachNeighbour(interfaces, lldp->Interface(), lldp->InterfaceMAC(), lldp->Neighbour());
    entry = interfaces[index];
  }
  bool changed = SetNodeListEntry("interfaces", index, entry);
  // The new entry may take the switch port from another one.
  if (LLDP()) AttachedDeviceChanged();
  // The device follows the node (its controls are at the node's address).
  UpdateDevice(index, json());
  return changed;
}

void TQELNMOSBridge::AttachedDeviceChanged() {
  ILLDPListener* lldp = LLDP();
  if (!lldp) return;
  json node;
  {
    TNodeDBReadLocker lock(Data());
    node = Data().Get("/self");
  }
  if (!node.is_object() || !node.contains("interfaces")) return;
  if (!AttachNeighbour(node["interfaces"], lldp->Interface(), lldp->InterfaceMAC(), lldp->Neighbour()))
    return;
  Publish(Node, "/self", node, "");
}

const json& TQELNMOSBridge::GetDevice(std::string& path) {
  TNodeDBWriteLocker lock(Data());
  const json& devices = Data().Get("/devices");
  if (devices.is_object() && !devices.empty()) {
    const json& device = devices.begin().value();
    std::string id = Text(device, "id");
    path = id.empty() ? DevicePathTemp : "/devices/" + id;
    return device;
  }
  path = DevicePathTemp;
  return Data().Set(DevicePathTemp, json());
}

void TQELNMOSBridge::CreateDevice(uint32_t, const json& ID) {
  if (!ID.is_string() || !IsUUID(ID.get<std::string>())) {
    lws_log(QLLL_ERR, "The firmware's device_id %s is no UUID: not taken",
            ID.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    return;
  }
  const std::string id = ID.get<std::string>();
  if (IdTakenElsewhere(id, "/devices/" + id)) {
    lws_log(QLLL_ERR, "The firmware's device_id %s belongs to another resource: not taken", id.c_str());
    return;
  }
  std::string nodeId, oldId, newPath = "/devices/" + id;
  json device;
  {
    TNodeDBWriteLocker lock(Data());
    nodeId = Text(Data().Get("/self"), "id");
    std::string oldPath;
    device = GetDevice(oldPath);
    oldId = Text(device, "id");
    ResourceCore(Device, device, id);
    device["tags"] = AssetTags(id, DeviceFunction);
    device["node_id"] = nodeId;
    device["senders"] = Ids(Data().Get("/senders"));
    device["receivers"] = Ids(Data().Get("/receivers"));
    AddIfMissing(device, "controls", json::array());
    Data().Del(oldPath.c_str());
  }
  // A device under another id is another device: the old one has ended.
  if (!oldId.empty() && oldId != id) EndResource(oldId, {});
  Publish(Device, newPath, device, nodeId, TPublish::Always);
}

bool TQELNMOSBridge::UpdateDevice(uint32_t index, const json&) {
  const IQELNMOSConfig* cfg = BoxConfig();
  std::string nodeId, path;
  json device;
  {
    TNodeDBWriteLocker lock(Data());
    const json& node = Data().Get("/self");
    nodeId = Text(node, "id");
    const json& stored = GetDevice(path);
    device = stored;
    ResourceCore(Device, device, Text(stored, "id"));
    device["tags"] = AssetTags(Text(stored, "id"), DeviceFunction);
    device["controls"] = ConnectionControls(APIScheme(), NodeHost(node, cfg), cfg->GetBridgePort(),
                                            (cfg->GetProtectedAPIs() & ProtectConnectionAPI) != 0);
    device["label"] = NMOS_MODULE_TYPE;
    device["senders"] = Ids(Data().Get("/senders"));
    device["receivers"] = Ids(Data().Get("/receivers"));
    lws_log(QLLL_INFO, "Dev: %s\n\n NewDev: %s", stored.dump(2).c_str(), device.dump(2).c_str());
  }
  const json patch = Publish(Device, path, device, nodeId);
  if (patch.empty()) return false;
  lws_log(QLLL_INFO, "Device[%u] >>%s<< Updated: %s", index, device.dump().c_str(), patch.dump().c_str());
  return true;
}

} // namespace Qel_nmos_bridge
