// IS-05 Connection API (v1.0, v1.1): lists of senders and receivers, and each one's constraints, staged
// and active parameters from the documents the bridge keeps under "/intern", each as the requested
// version has it; from v1.1 on, each one's transport type. Staged parameters are written by PATCH (a
// sender's by PUT too) and in bulk by POST; the activations they ask for are carried out by the
// bridge's Connection API activations, which drive the firmware.
#include "NMOSAPIHandlers.h"

#include "ConnectionActivations.h"
#include "ConnectionViews.h"
#include "HTTPResponse.h"
#include "JsonText.h"
#include "NMOSBridge_API.h"
#include "NMOSNodeData.h"
#include "RequestChecks.h"
#include "helpers.h"

#include <nlohmann/json.hpp>

#include <cstring>

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;

namespace {

const char* const LogRetrieve = "Retreive  %s %s";
const char* const LogStaged = "Staged %s: %s";
const char* const LogPatch = "Patch %s Staged";
const char* const LogStageUnparsable = "Could not parse staged parameters of %s, reason: %s";

std::string Compact(const json& doc) {
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The stored documents carry only the activation mode; an activation response also names the
// requested and the actual activation time, null when there is none.
json WithActivationTimes(json doc) {
  if (!doc.is_object() || !doc.contains("activation") || !doc["activation"].is_object()) return doc;
  json& activation = doc["activation"];
  if (!activation.contains("requested_time")) activation["requested_time"] = nullptr;
  if (!activation.contains("activation_time")) activation["activation_time"] = nullptr;
  return doc;
}

// An "/intern" document a Connection API URL serves.
struct TInternDocument {
  const char* Name;  // member under the resource's "/intern" path
  const char* Label; // as it reads in the log
  bool Legs;         // a list of transport legs (constraints), else parameters with an activation
};

const TInternDocument Constraints{"constraints", "Constraints", true};
const TInternDocument SenderActive{"active", "Active", false};
const TInternDocument ReceiverActive{"active", "Active", false};

const char* const TransportBase = "urn:x-nmos:transport:";
const char* const DefaultTransport = "urn:x-nmos:transport:rtp";

// The endpoints of one sender or receiver at a version.
std::string EndpointList(bool sender, const std::string& version) {
  json list = {"constraints/", "staged/", "active/"};
  if (sender) list.push_back("transportfile/");
  if (ConnectionRules(version).TransportType) list.push_back("transporttype/");
  return list.dump(-1, ' ', false);
}

// The transport type of an IS-04 transport, without its subclassification: "urn:x-nmos:transport:rtp"
// for "urn:x-nmos:transport:rtp.mcast".
std::string TransportType(const std::string& transport) {
  const size_t base = strlen(TransportBase);
  if (transport.compare(0, base, TransportBase) != 0 || transport.size() == base) return DefaultTransport;
  return transport.substr(0, transport.find('.', base));
}

bool ServeIntern(const TRouteArgs& route, TRESTRequestData& request, const TInternDocument& document) {
  if (request.Method != HTTP_GET_URI) return false;
  const std::string resourcePath = route.Path();
  lws_log(QLLL_REST, LogRetrieve, resourcePath.c_str(), document.Label);
  IQELNMOSNodeData& data = route.Bridge.Data();
  TNodeDBReadLocker lock(data);
  const json& stored = data.Get(IQELConnectionActivations::InternPath(resourcePath, document.Name).c_str());
  const json doc = document.Legs ? ConstraintsView(stored, route.Version)
                                 : WithActivationTimes(ParamsView(stored, route.Version));
  SetJSONResult(request, 200, Compact(doc));
  return true;
}

// Stages the body (PATCH, and PUT on senders) and carries out the activation it asks for; the answer
// is the staged document, or the error document of a refusal.
void Stage(IQELNMOSBridge& bridge, TRESTRequestData& request, const std::string& resourcePath,
           const std::string& version) {
  json body, answer;
  std::string why;
  int status = 400;
  if (!ParseJSONText(request.PostData, body, why))
    lws_log(QLLL_ERR, LogStageUnparsable, resourcePath.c_str(), why.c_str());
  else
    status = bridge.Activations().Stage(resourcePath, version, body, answer, why);
  lws_log(QLLL_REST, LogPatch, resourcePath.c_str());
  if (status < 300) {
    lws_log(QLLL_INFO, LogStaged, resourcePath.c_str(), Compact(body).c_str());
    SetJSONResult(request, status, Compact(ParamsView(answer, version)));
  } else {
    SetJSONResult(request, status, Qel_proto_http::ErrorDocument(status, why));
  }
}

bool ServeStaged(const TRouteArgs& route, TRESTRequestData& request, bool putAccepted) {
  const std::string resourcePath = route.Path();
  IQELNMOSBridge& bridge = route.Bridge;
  switch (request.Method) {
  case HTTP_GET_URI:
    lws_log(QLLL_REST, LogRetrieve, resourcePath.c_str(), "Staged");
    SetJSONResult(request, 200,
                  Compact(ParamsView(bridge.Activations().Staged(resourcePath), route.Version)));
    return true;
  case HTTP_PUT_URI:
    if (!putAccepted) return false;
    Stage(bridge, request, resourcePath, route.Version);
    return true;
  case HTTP_PATCH_URI:
    Stage(bridge, request, resourcePath, route.Version);
    return true;
  default:
    return false;
  }
}

// POST of [{"id": ..., "params": {...}}, ...]: each element is staged (and activated) as a PATCH of
// its resource would be; the answer has one result per element, in order. A body that is not such
// an array is refused as a whole and nothing is staged.
bool ServeBulk(const TRouteArgs& route, TRESTRequestData& request) {
  const char* const kind = route.Kind;
  if (request.Method != HTTP_POST_URI) return false;
  json body;
  std::string why;
  bool valid = ParseJSONText(request.PostData, body, why);
  if (valid && !body.is_array()) valid = (why = "a bulk request is an array", false);
  if (valid)
    for (const json& item : body) {
      if (!item.is_object() || item.size() != 2 || !item.contains("id") || !item.contains("params") ||
          !item["id"].is_string() || !IsNMOSID(item["id"].get<std::string>()) ||
          !item["params"].is_object()) {
        why = "every element needs an \"id\" (a UUID) and \"params\" (an object), and nothing else";
        valid = false;
        break;
      }
    }
  if (!valid) {
    SetJSONResult(request, 400, Qel_proto_http::ErrorDocument(400, why));
    return true;
  }
  IQELNMOSBridge& bridge = route.Bridge;
  json results = json::array();
  for (const json& item : body) {
    const std::string id = item["id"].get<std::string>();
    json answer, result = {{"id", id}};
    std::string reason;
    const int code = bridge.Activations().Stage(std::string("/") + kind + "/" + id, route.Version,
                                                item["params"], answer, reason);
    result["code"] = code;
    if (code >= 300) {
      result["error"] = reason;
      result["debug"] = nullptr;
    }
    results.push_back(result);
  }
  lws_log(QLLL_REST, "Bulk %s staged: %s", kind, Compact(results).c_str());
  SetJSONResult(request, 200, Compact(results));
  return true;
}

} // namespace

bool ListUUIDs(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  const std::string path = route.Path();
  IQELNMOSNodeData& data = route.Bridge.Data();
  TNodeDBReadLocker lock(data);
  const json& collection = data.Get(path.c_str());
  std::string body = "[";
  if (collection.is_object())
    for (const json& element : collection) {
      if (body.size() > 1) body += ", ";
      const std::string id = IQELNMOSNodeData::JsonExtract(element, "id", json("")).get<std::string>();
      body += Compact(json(id + "/"));
    }
  SetJSONResult(request, 200, body + "]");
  return true;
}

// Bulk staging is POST only: every other method is answered 405.
bool HandleConnection_Bulk_Senders(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeBulk(route, request);
}

bool HandleConnection_Bulk_Receivers(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeBulk(route, request);
}

bool HandleConnection_Single_Sender_Constraints(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeIntern(route, request, Constraints);
}

bool HandleConnection_Single_Receiver_Constraints(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeIntern(route, request, Constraints);
}

bool HandleConnection_Single_Sender_Active(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeIntern(route, request, SenderActive);
}

bool HandleConnection_Single_Receiver_Active(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeIntern(route, request, ReceiverActive);
}

bool HandleConnection_Single_Sender_Staged(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeStaged(route, request, true);
}

bool HandleConnection_Single_Sender_TransportFile(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  const std::string resourcePath = route.Path();
  lws_log(QLLL_REST, LogRetrieve, resourcePath.c_str(), "TransportFile");
  IQELNMOSNodeData& data = route.Bridge.Data();
  TNodeDBReadLocker lock(data);
  // The firmware service serves the SDP itself; the store holds where.
  const json& href = data.Get(IQELConnectionActivations::InternPath(resourcePath, "transportfile").c_str());
  if (!href.is_string() || href.get_ref<const std::string&>().empty()) return false;
  if (route.Bridge.BoxConfig()->ServesTransportFiles()) {
    // A redirect would lead the client out of TLS, or to where its token does not count: the copy is
    // served.
    const json& sdp = data.Get(IQELConnectionActivations::InternPath(resourcePath, "sdp").c_str());
    if (!sdp.is_string() || sdp.get_ref<const std::string&>().empty()) {
      SetJSONResult(request, 503, Qel_proto_http::ErrorDocument(503, "the transport file is being fetched"));
      request.Result.Headers.emplace_back("Retry-After", "1");
      return true;
    }
    request.Result.HTTPResult = 200;
    request.Result.MimeType = "application/sdp";
    request.Result.Body = sdp.get<std::string>();
    return true;
  }
  SetEmptyResult(request, 307);
  request.Result.Headers.emplace_back("Location", href.get<std::string>());
  return true;
}

bool HandleConnection_Single_Receiver_Staged(const TRouteArgs& route, TRESTRequestData& request) {
  return ServeStaged(route, request, false);
}

bool HandleConnection_Single_Sender(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  SetJSONResult(request, 200, EndpointList(true, route.Version));
  return true;
}

bool HandleConnection_Single_Receiver(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  SetJSONResult(request, 200, EndpointList(false, route.Version));
  return true;
}

// Every sender and receiver of this node is an RTP one, served at every version: none is only
// available at another version (which would be answered 409).
bool HandleConnection_Single_TransportType(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != HTTP_GET_URI) return false;
  const std::string resourcePath = route.Path();
  lws_log(QLLL_REST, LogRetrieve, resourcePath.c_str(), "TransportType");
  IQELNMOSNodeData& data = route.Bridge.Data();
  TNodeDBReadLocker lock(data);
  const json& resource = data.Get(resourcePath.c_str());
  const json transport = IQELNMOSNodeData::JsonExtract(resource, "transport", json(""));
  SetJSONResult(request, 200, Compact(json(TransportType(transport.get<std::string>()))));
  return true;
}

} // namespace Qel_nmos_bridge
