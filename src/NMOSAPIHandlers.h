// The handlers behind the URLs of the IS-04 Node API and the IS-05 Connection API. Each answers for the
// resource that owns the URL and reads the documents the bridge keeps in the node data store; a handler
// returns false for a method it does not serve, which ends the request with 404.
#pragma once

#include "RestSrv_API.h"

#include <string>

namespace Qel_nmos_bridge {

using Qel_rest_srv::TRESTRequestData;

// IS-04 Node API.
bool ShowNode(const TNMOSResourceInfo* resource, TRESTRequestData& request);
bool ShowStats(const TNMOSResourceInfo* resource, TRESTRequestData& request);
bool ListNodes(const TNMOSResourceInfo* resource, TRESTRequestData& request, const std::string& path);
bool HandleConnection_IS04(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                           const std::string& path);

// IS-05 Connection API.
bool ListUUIDs(const TNMOSResourceInfo* resource, TRESTRequestData& request, const std::string& path);
bool HandleConnection_Bulk_Senders(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                   const std::string& path);
bool HandleConnection_Bulk_Receivers(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                     const std::string& path);
bool HandleConnection_Single_Sender_Constraints(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                                const std::string& path);
bool HandleConnection_Single_Sender_Staged(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                           const std::string& path);
bool HandleConnection_Single_Sender_Active(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                           const std::string& path);
bool HandleConnection_Single_Sender_TransportFile(const TNMOSResourceInfo* resource,
                                                  TRESTRequestData& request, const std::string& path);
bool HandleConnection_Single_Receiver_Constraints(const TNMOSResourceInfo* resource,
                                                  TRESTRequestData& request, const std::string& path);
bool HandleConnection_Single_Receiver_Staged(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                             const std::string& path);
bool HandleConnection_Single_Receiver_Active(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                             const std::string& path);

// Fills the result with a status and a JSON body.
void SetJSONResult(TRESTRequestData& request, int status, std::string body);
// Fills the result with a status and no body.
void SetEmptyResult(TRESTRequestData& request, int status);

} // namespace Qel_nmos_bridge
