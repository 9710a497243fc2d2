// IS-04 Node API: the node, the lists of its resources, each single resource, the bridge's statistics,
// and the receiver "target" through which a controller connects a receiver to a sender.
#include "NMOSAPIHandlers.h"

#include <map>

#include "NMOSBridge_API.h"
#include "NMOSNodeData.h"
#include "NMOSRegMachines.h"
#include "helpers.h"

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;

namespace {

const char* const JSONMimeType = "application/json";
const char* const SenderSchema = "sender";
const char* const LogTargetRequest = "<<< HandleConnection_IS04 >>>\nBody:%s \n";
const char* const LogTargetUnparsable = "Could not parse PUT data, reason: %s";
const char* const LogTargetNoObject = "Could not parse PUT data, reason: %s is no JSON object";

// Firmware texts may carry invalid UTF-8; they are sent with replacement characters rather than
// failing the request.
std::string Serialise(const json& doc, int indent) {
  return doc.dump(indent, ' ', false, json::error_handler_t::replace);
}

// The members of a collection, each with an indent of 2, in the collection's (id) order.
std::string ListBody(const json& collection) {
  std::string body = "[";
  bool first = true;
  if (collection.is_object() || collection.is_array())
    for (const json& element : collection) {
      if (!first) body += ", ";
      body += Serialise(element, 2);
      first = false;
    }
  return body + "]";
}

} // namespace

void SetJSONResult(TRESTRequestData& request, int status, std::string body) {
  request.Result.HTTPResult = status;
  request.Result.MimeType = JSONMimeType;
  request.Result.Body = std::move(body);
}

void SetEmptyResult(TRESTRequestData& request, int status) {
  request.Result.HTTPResult = status;
  request.Result.MimeType.clear();
  request.Result.Body.clear();
}

bool ShowNode(const TNMOSResourceInfo* resource, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  IQELNMOSNodeData& data = resource->GetBridge().Data();
  TNodeDBReadLocker lock(data);
  SetJSONResult(request, 200, Serialise(data.Get(resource->Path().c_str()), 2));
  return true;
}

bool ListNodes(const TNMOSResourceInfo* resource, TRESTRequestData& request, const std::string& path) {
  if (request.Method != HTTP_GET_URI) return false;
  // Lists are asked for far more often than the store changes: keep each list's text until the next
  // write. Handlers run on the worker thread only.
  struct TListText {
    uint64_t Generation = 0;
    std::string Body;
  };
  static std::map<std::string, TListText> texts;
  IQELNMOSNodeData& data = resource->GetBridge().Data();
  TNodeDBReadLocker lock(data);
  TListText& text = texts[path];
  if (text.Generation != data.Generation()) {
    text.Body = ListBody(data.Get(path.c_str()));
    text.Generation = data.Generation();
  }
  SetJSONResult(request, 200, text.Body);
  return true;
}

bool ShowStats(const TNMOSResourceInfo* resource, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  IQELNMOSBridge& bridge = resource->GetBridge();
  bridge.UpdateStats();
  SetJSONResult(request, 200, Serialise(bridge.GetStats(), 2));
  return true;
}

bool HandleConnection_IS04(const TNMOSResourceInfo* resource, TRESTRequestData& request, const std::string&) {
  if (request.Method != HTTP_PUT_URI) return false;
  lws_log(QLLL_DEBUG, LogTargetRequest, request.PostData.c_str());
  SetEmptyResult(request, 400);
  json sender;
  try {
    sender = json::parse(request.PostData);
  } catch (const json::parse_error& e) {
    lws_log(QLLL_ERR, LogTargetUnparsable, e.what());
    return true;
  }
  // A target is a sender document or {} (disconnect); anything else cannot name a sender.
  if (!sender.is_object()) {
    lws_log(QLLL_ERR, LogTargetNoObject, sender.type_name());
    return true;
  }
  IQELNMOSBridge& bridge = resource->GetBridge();
  if (!bridge.Data().ValidateJSON(sender, SenderSchema)) return true;
  std::string receiverId;
  {
    TNodeDBReadLocker lock(bridge.Data());
    receiverId = IQELNMOSNodeData::JsonExtract(bridge.Data().Get(resource->Path().c_str()), "id", json(""))
                     .get<std::string>();
  }
  SetEmptyResult(request, bridge.Connect(receiverId, sender) ? 202 : 404);
  return true;
}

} // namespace Qel_nmos_bridge
