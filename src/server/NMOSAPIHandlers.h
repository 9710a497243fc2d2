// The handlers behind the routes of the IS-04 Node API and the IS-05 Connection API. Each reads the
// documents the bridge keeps in the node data store for the kind and id its route names; a handler
// returns false for a method it does not serve, which ends the request with 405.
#pragma once

#include "RouteTable.h"

#include <string>

namespace Qel_nmos_bridge {

using Qel_rest_srv::TRESTRequestData;
using Qel_rest_srv::TRouteArgs;

// Whether the store holds the resource "/<kind>/<id>": the routes with an id serve only those.
bool HoldsResource(IQELNMOSBridge& bridge, const char* kind, const std::string& id);

// IS-04 Node API.
bool ShowNode(const TRouteArgs& route, TRESTRequestData& request);
bool ShowStats(const TRouteArgs& route, TRESTRequestData& request);
bool ListNodes(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_IS04(const TRouteArgs& route, TRESTRequestData& request);

// The status page for people (HTML) and what it shows beyond the Node API (JSON).
bool ShowStatusPage(const TRouteArgs& route, TRESTRequestData& request);
bool ShowStatusJSON(const TRouteArgs& route, TRESTRequestData& request);

// IS-05 Connection API.
bool ListUUIDs(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Bulk_Senders(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Bulk_Receivers(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Sender_Constraints(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Sender_Staged(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Sender_Active(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Sender_TransportFile(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Receiver_Constraints(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Receiver_Staged(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Receiver_Active(const TRouteArgs& route, TRESTRequestData& request);
// The endpoints of one sender (receiver), and from v1.1 on the transport type of either.
bool HandleConnection_Single_Sender(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_Receiver(const TRouteArgs& route, TRESTRequestData& request);
bool HandleConnection_Single_TransportType(const TRouteArgs& route, TRESTRequestData& request);

// Fills the result with a status and a JSON body.
void SetJSONResult(TRESTRequestData& request, int status, std::string body);
// Fills the result with a status and no body.
void SetEmptyResult(TRESTRequestData& request, int status);

} // namespace Qel_nmos_bridge
