#include "APIRoutes.h"

#include "ConnectionViews.h"
#include "NMOSAPIHandlers.h"

namespace Qel_nmos_bridge {

using Qel_rest_srv::TRoute;
using Qel_rest_srv::TRouteTable;

const Qel_rest_srv::TAPIVersions NodeAPIVersions = {"v1.0", "v1.2", "v1.3"};
const Qel_rest_srv::TAPIVersions ConnectionAPIVersions = {"v1.0", "v1.1"};

namespace {

const char* const RootList = "[\"x-nmos\", \"stats\", \"status\"]";
const char* const NodeAPIList =
    "[\"self/\", \"devices/\", \"senders/\", \"receivers/\", \"flows/\", \"sources/\"]";
const char* const Collections[] = {"devices", "senders", "receivers", "flows", "sources"};

const Qel_rest_srv::TAPIVersions* const Node = &NodeAPIVersions;
const Qel_rest_srv::TAPIVersions* const Connection = &ConnectionAPIVersions;

// The Connection API versions that serve each sender's and receiver's transport type.
const Qel_rest_srv::TAPIVersions* TransportTypeVersions() {
  static const Qel_rest_srv::TAPIVersions versions = [] {
    Qel_rest_srv::TAPIVersions served;
    for (const std::string& version : ConnectionAPIVersions)
      if (ConnectionRules(version).TransportType) served.push_back(version);
    return served;
  }();
  return &versions;
}

TRoute Text(std::string pattern, const Qel_rest_srv::TAPIVersions* versions, std::string text,
            const char* kind = "") {
  return TRoute{std::move(pattern), versions, kind, nullptr, std::move(text)};
}

TRoute Handler(std::string pattern, const Qel_rest_srv::TAPIVersions* versions, const char* kind,
               Qel_rest_srv::TRouteHandler handler) {
  return TRoute{std::move(pattern), versions, kind, handler, ""};
}

// The API tree, the node and its statistics.
void AddTree(std::vector<TRoute>& routes) {
  routes.push_back(Text("", nullptr, RootList));
  routes.push_back(Handler("/stats", nullptr, "", ShowStats));
  routes.push_back(Handler("/status", nullptr, "", ShowStatusPage));
  routes.push_back(Handler("/status.json", nullptr, "", ShowStatusJSON));
  routes.push_back(Text("/x-nmos", nullptr, "[\"node/\", \"connection/\"]"));
  routes.push_back(Text("/x-nmos/node", nullptr, TRouteTable::VersionList(NodeAPIVersions)));
  routes.push_back(Text("/x-nmos/node/{version}", Node, NodeAPIList));
  routes.push_back(Handler("/x-nmos/node/{version}/self", Node, "self", ShowNode));
  routes.push_back(Text("/x-nmos/connection", nullptr, TRouteTable::VersionList(ConnectionAPIVersions)));
  routes.push_back(Text("/x-nmos/connection/{version}", Connection, "[\"bulk/\", \"single/\"]"));
  routes.push_back(Text("/x-nmos/connection/{version}/bulk", Connection, "[\"senders/\", \"receivers/\"]"));
  routes.push_back(Text("/x-nmos/connection/{version}/single", Connection, "[\"senders/\", \"receivers/\"]"));
}

// Every collection and each of its resources under the Node API; a receiver's target too.
void AddNodeAPI(std::vector<TRoute>& routes) {
  for (const char* kind : Collections) {
    const std::string list = std::string("/x-nmos/node/{version}/") + kind;
    routes.push_back(Handler(list, Node, kind, ListNodes));
    routes.push_back(Handler(list + "/{id}", Node, kind, ShowNode));
  }
  routes.push_back(
      Handler("/x-nmos/node/{version}/receivers/{id}/target", Node, "receivers", HandleConnection_IS04));
}

void AddConnectionAPI(std::vector<TRoute>& routes) {
  const char* const Senders = "senders";
  const char* const Receivers = "receivers";
  routes.push_back(Handler("/x-nmos/connection/{version}/bulk/senders", Connection, Senders,
                           HandleConnection_Bulk_Senders));
  routes.push_back(Handler("/x-nmos/connection/{version}/bulk/receivers", Connection, Receivers,
                           HandleConnection_Bulk_Receivers));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/senders", Connection, Senders, ListUUIDs));
  routes.push_back(
      Handler("/x-nmos/connection/{version}/single/receivers", Connection, Receivers, ListUUIDs));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/senders/{id}", Connection, Senders,
                           HandleConnection_Single_Sender));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/senders/{id}/constraints", Connection,
                           Senders, HandleConnection_Single_Sender_Constraints));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/senders/{id}/staged", Connection, Senders,
                           HandleConnection_Single_Sender_Staged));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/senders/{id}/active", Connection, Senders,
                           HandleConnection_Single_Sender_Active));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/senders/{id}/transportfile", Connection,
                           Senders, HandleConnection_Single_Sender_TransportFile));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/receivers/{id}", Connection, Receivers,
                           HandleConnection_Single_Receiver));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/receivers/{id}/constraints", Connection,
                           Receivers, HandleConnection_Single_Receiver_Constraints));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/receivers/{id}/staged", Connection, Receivers,
                           HandleConnection_Single_Receiver_Staged));
  routes.push_back(Handler("/x-nmos/connection/{version}/single/receivers/{id}/active", Connection, Receivers,
                           HandleConnection_Single_Receiver_Active));
  for (const char* kind : {Senders, Receivers})
    routes.push_back(
        Handler(std::string("/x-nmos/connection/{version}/single/") + kind + "/{id}/transporttype",
                TransportTypeVersions(), kind, HandleConnection_Single_TransportType));
}

} // namespace

std::vector<TRoute> APIRouteList() {
  std::vector<TRoute> routes;
  AddTree(routes);
  AddNodeAPI(routes);
  AddConnectionAPI(routes);
  return routes;
}

const TRouteTable& APIRoutes() {
  static const TRouteTable table(APIRouteList(), HoldsResource);
  return table;
}

} // namespace Qel_nmos_bridge
