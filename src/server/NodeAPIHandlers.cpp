// IS-04 Node API: the node, the lists of its resources, each single resource, the bridge's statistics,
// and the receiver "target" through which a controller connects a receiver to a sender.
#include "NMOSAPIHandlers.h"

#include <unordered_map>

#include "ConnectionActivations.h"
#include "HTTPResponse.h"
#include "JsonText.h"
#include "NMOSBridge_API.h"
#include "NMOSNodeData.h"
#include "RequestChecks.h"
#include "VersionViews.h"
#include "helpers.h"

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;

namespace {

const char* const JSONMimeType = "application/json";
const char* const LogTargetRequest = "<<< HandleConnection_IS04 >>>\nBody:%s \n";
const char* const LogTargetUnparsable = "Could not parse PUT data, reason: %s";
const char* const LogTargetNoSender = "Could not take PUT data as a sender, reason: %s";
const char* const LogTargetRefused = "Receiver %s cannot take that sender: %s";

// Firmware texts may carry invalid UTF-8; they are sent with replacement characters rather than
// failing the request.
std::string Serialise(const json& doc, int indent) {
  return doc.dump(indent, ' ', false, json::error_handler_t::replace);
}

// A document as the route's version has it, with an indent of 2.
std::string ViewText(const json& doc, const TRouteArgs& route) {
  TNMOS_ResType type = Node;
  if (!ResTypeOfCollection(route.Kind, type) || !ViewDiffers(type, route.Version)) return Serialise(doc, 2);
  return Serialise(VersionView(doc, type, route.Version), 2);
}

// The members of a collection, each with an indent of 2, in the collection's (id) order.
std::string ListBody(const json& collection, const TRouteArgs& route) {
  std::string body = "[";
  bool first = true;
  if (collection.is_object() || collection.is_array())
    for (const json& element : collection) {
      if (!first) body += ", ";
      body += ViewText(element, route);
      first = false;
    }
  return body + "]";
}

// The key under which a text is kept: versions that read a kind alike share it.
std::string TextKey(const char* what, const std::string& path, const TRouteArgs& route) {
  TNMOS_ResType type = Node;
  const bool own = ResTypeOfCollection(route.Kind, type) && ViewDiffers(type, route.Version);
  return std::string(what) + (own ? route.Version : std::string()) + ":" + path;
}

// Documents are asked for far more often than the store changes: each text is kept until the next
// write of the store. Handlers run on the worker thread only; the caller holds the store's lock.
template <typename TBuild>
const std::string& StoreText(IQELNMOSNodeData& data, const std::string& key, TBuild build) {
  static uint64_t generation = 0;
  static std::unordered_map<std::string, std::string> texts;
  if (generation != data.Generation()) {
    texts.clear();
    generation = data.Generation();
  }
  auto [it, added] = texts.try_emplace(key);
  if (added) it->second = build();
  return it->second;
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

bool HoldsResource(IQELNMOSBridge& bridge, const char* kind, const std::string& id) {
  IQELNMOSNodeData& data = bridge.Data();
  TNodeDBReadLocker lock(data);
  const json& collection = data.Get((std::string("/") + kind).c_str());
  if (!collection.is_object()) return false;
  const auto resource = collection.find(id);
  return resource != collection.end() && resource->is_object();
}

bool ShowNode(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  IQELNMOSNodeData& data = route.Bridge.Data();
  TNodeDBReadLocker lock(data);
  const std::string path = route.Path();
  // A document without its identity is not served: the node before the firmware has named it (503,
  // it will be), a resource that is not there (404).
  const json& doc = data.Get(path.c_str());
  if (!doc.is_object() || !doc.contains("id")) {
    SetEmptyResult(request, path == "/self" ? 503 : 404);
    return true;
  }
  SetJSONResult(request, 200, StoreText(data, TextKey("doc", path, route), [&] {
                  return ViewText(data.Get(path.c_str()), route);
                }));
  return true;
}

bool ListNodes(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  IQELNMOSNodeData& data = route.Bridge.Data();
  TNodeDBReadLocker lock(data);
  const std::string path = route.Path();
  SetJSONResult(request, 200, StoreText(data, TextKey("list", path, route), [&] {
                  return ListBody(data.Get(path.c_str()), route);
                }));
  return true;
}

bool ShowStats(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  IQELNMOSBridge& bridge = route.Bridge;
  bridge.UpdateStats();
  SetJSONResult(request, 200, Serialise(bridge.GetStats(), 2));
  return true;
}

// A receiver's "target" (IS-04): a sender document connects the receiver to that sender, {}
// disconnects it. Accepted requests are answered 202 with the request; the receiver's document then
// follows what the firmware reports.
bool HandleConnection_IS04(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_PUT_URI) return false;
  lws_log(QLLL_DEBUG, LogTargetRequest, request.PostData.c_str());
  json sender;
  std::string why;
  if (!ParseJSONText(request.PostData, sender, why)) {
    lws_log(QLLL_ERR, LogTargetUnparsable, why.c_str());
    SetJSONResult(request, 400, Qel_proto_http::ErrorDocument(400, why));
    return true;
  }
  IQELNMOSBridge& bridge = route.Bridge;
  if (!CheckTargetSender(sender, why)) {
    lws_log(QLLL_ERR, LogTargetNoSender, why.c_str());
    SetJSONResult(request, 400, Qel_proto_http::ErrorDocument(400, why));
    return true;
  }
  const std::string& receiverId = route.Id;
  // A sender whose flow this node holds is checked against what the receiver can take; another
  // sender's stream is checked once its transport file is read.
  if (!bridge.Activations().Admits(route.Path(), sender, why)) {
    lws_log(QLLL_ERR, LogTargetRefused, receiverId.c_str(), why.c_str());
    SetJSONResult(request, 400, Qel_proto_http::ErrorDocument(400, why));
    return true;
  }
  if (!bridge.Connect(receiverId, sender)) {
    if (bridge.Data().GetIndexFromUUID("receivers", receiverId) < 0)
      SetJSONResult(request, 404,
                    Qel_proto_http::ErrorDocument(404, "the receiver is unknown to the firmware"));
    else
      SetJSONResult(request, 503,
                    Qel_proto_http::ErrorDocument(503, "the firmware cannot take the connection now"));
    return true;
  }
  SetJSONResult(request, 202, Serialise(sender, 2));
  return true;
}

} // namespace Qel_nmos_bridge
