// IS-05 Connection API (v1.0): lists of senders and receivers, and each one's constraints, staged and
// active parameters from the documents the bridge keeps under "/intern". Only a sender's staged
// parameters can be written here (PUT, checked as IS-05 allows); nothing is activated and the firmware
// is not involved (receivers are connected through the Node API's "target").
#include "NMOSAPIHandlers.h"

#include "HTTPResponse.h"
#include "JsonText.h"
#include "NMOSBridge_API.h"
#include "NMOSNodeData.h"
#include "NMOSRegMachines.h"
#include "RequestChecks.h"
#include "helpers.h"

#include <nlohmann/json.hpp>

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;

namespace {

const char* const ConstraintsSchema = "v1.0-constraints-schema";
const char* const SenderStageSchema = "v1.0-sender-stage-schema";
const char* const SenderResponseSchema = "v1.0-sender-response-schema";
const char* const ReceiverResponseSchema = "v1.0-receiver-response-schema";
const char* const LogRetrieve = "Retreive  %s %s";
const char* const LogStaged = "Sender Staged %s Updated: %s";
const char* const LogPatch = "Patch %s Staged";
const char* const LogStageUnparsable = "Could not parse staged parameters of %s, reason: %s";

std::string Compact(const json& doc) {
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The resource's store path ("/senders/<id>") from the route's "${ID}".
std::string ResourcePath(const TNMOSResourceInfo* resource, const std::string& path) {
  return resource->AsVS().ResolveVars(path);
}

std::string InternPath(const std::string& resourcePath, const char* document) {
  return "/intern" + resourcePath + "/" + document;
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

// What a sender has staged before anything was put: its active parameters, with no activation pending.
json DefaultSenderStaged(const json& active) {
  json staged = json::object();
  staged["receiver_id"] = IQELNMOSNodeData::JsonExtract(active, "receiver_id", json(nullptr));
  staged["master_enable"] = IQELNMOSNodeData::JsonExtract(active, "master_enable", json(false));
  staged["activation"] = {{"mode", nullptr}, {"requested_time", nullptr}, {"activation_time", nullptr}};
  staged["transport_params"] = IQELNMOSNodeData::JsonExtract(active, "transport_params", json::array());
  return staged;
}

json SenderStaged(IQELNMOSNodeData& data, const std::string& resourcePath) {
  const json& stored = data.Get(InternPath(resourcePath, "staged").c_str());
  if (!stored.is_null()) return stored;
  return DefaultSenderStaged(data.Get(InternPath(resourcePath, "active").c_str()));
}

// Serves an "/intern" document; the validation only reports (the store logs what it refuses).
struct TInternDocument {
  const char* Name;  // member under the resource's "/intern" path
  const char* Label; // as it reads in the log
  const char* Schema;
};

const TInternDocument Constraints{"constraints", "Constraints", ConstraintsSchema};
const TInternDocument SenderActive{"active", "Active", SenderResponseSchema};
const TInternDocument ReceiverActive{"active", "Active", ReceiverResponseSchema};

bool ServeIntern(const TNMOSResourceInfo* resource, TRESTRequestData& request, const std::string& path,
                 const TInternDocument& document) {
  if (request.Method != HTTP_GET_URI) return false;
  const std::string resourcePath = ResourcePath(resource, path);
  lws_log(QLLL_REST, LogRetrieve, resourcePath.c_str(), document.Label);
  IQELNMOSNodeData& data = resource->GetBridge().Data();
  TNodeDBReadLocker lock(data);
  json doc = WithActivationTimes(data.Get(InternPath(resourcePath, document.Name).c_str()));
  SetJSONResult(request, 200, Compact(doc));
  data.ValidateJSON(doc, document.Schema);
  return true;
}

// Stores the body as the sender's staged parameters; the answer is what is staged afterwards.
// Members of `change` replace those of `base` (a null too); objects merge member by member and the
// transport legs leg by leg, so a partial request keeps whatever it does not name.
json MergeStaged(const json& base, const json& change) {
  if (!base.is_object() || !change.is_object()) return change;
  json merged = base;
  for (auto it = change.begin(); it != change.end(); ++it) {
    json& target = merged[it.key()];
    if (it.key() == "transport_params" && target.is_array() && it->is_array()) {
      for (size_t leg = 0; leg < it->size(); ++leg)
        if (leg < target.size())
          target[leg] = MergeStaged(target[leg], (*it)[leg]);
        else
          target.push_back((*it)[leg]);
    } else if (target.is_object() && it->is_object()) {
      target = MergeStaged(target, *it);
    } else {
      target = *it;
    }
  }
  return merged;
}

// A sender has as many transport legs as its constraints list.
size_t SenderLegs(IQELNMOSNodeData& data, const std::string& resourcePath) {
  const json& constraints = data.Get(InternPath(resourcePath, "constraints").c_str());
  return constraints.is_array() && !constraints.empty() ? constraints.size() : 1;
}

void StageSender(IQELNMOSNodeData& data, TRESTRequestData& request, const std::string& resourcePath) {
  const std::string stagedPath = InternPath(resourcePath, "staged");
  TNodeDBWriteLocker lock(data);
  json body;
  std::string why;
  if (!ParseJSONText(request.PostData, body, why)) {
    lws_log(QLLL_ERR, LogStageUnparsable, resourcePath.c_str(), why.c_str());
  } else if (CheckSenderStage(body, SenderLegs(data, resourcePath), why) &&
             data.ValidateJSON(body, SenderStageSchema)) {
    // What is put changes the members it names; the rest of the staged parameters stays.
    const json stored = data.Get(stagedPath.c_str());
    const json staged = MergeStaged(SenderStaged(data, resourcePath), body);
    const json patch = json::diff(stored, staged);
    if (!patch.empty()) {
      data.Set(stagedPath.c_str(), staged);
      lws_log(QLLL_INFO, LogStaged, resourcePath.c_str(), Compact(patch).c_str());
    }
    lws_log(QLLL_REST, LogPatch, resourcePath.c_str());
    SetJSONResult(request, 200, Compact(SenderStaged(data, resourcePath)));
    return;
  }
  lws_log(QLLL_REST, LogPatch, resourcePath.c_str());
  SetJSONResult(request, 400, Qel_proto_http::ErrorDocument(400, why));
}

// Staged parameters are locked against PATCH: staging goes through PUT on senders only.
void Locked(TRESTRequestData& request) {
  SetJSONResult(request, 423, Qel_proto_http::ErrorDocument(423, "staged parameters cannot be patched"));
}

// A receiver stages nothing here: its staged parameters always read as an immediate activation of
// no sender. Members in alphabetical order.
std::string ReceiverStagedBody() {
  nlohmann::json staged = {
      {"master_enable", true},
      {"sender_id", nullptr},
      {"activation",
       {{"mode", "activate_immediate"}, {"requested_time", nullptr}, {"activation_time", nullptr}}},
      {"transport_file", {{"data", nullptr}, {"type", nullptr}}},
      {"transport_params",
       {{{"destination_port", "auto"},
         {"interface_ip", "auto"},
         {"multicast_ip", nullptr},
         {"rtp_enabled", true},
         {"source_ip", nullptr}}}}};
  return staged.dump();
}

} // namespace

bool ListUUIDs(const TNMOSResourceInfo* resource, TRESTRequestData& request, const std::string& path) {
  if (request.Method != HTTP_GET_URI) return false;
  IQELNMOSNodeData& data = resource->GetBridge().Data();
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

// Bulk staging is POST only; it is not served yet, so every method is answered 405.
bool HandleConnection_Bulk_Senders(const TNMOSResourceInfo*, TRESTRequestData&, const std::string&) {
  return false;
}

bool HandleConnection_Bulk_Receivers(const TNMOSResourceInfo*, TRESTRequestData&, const std::string&) {
  return false;
}

bool HandleConnection_Single_Sender_Constraints(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                                const std::string& path) {
  return ServeIntern(resource, request, path, Constraints);
}

bool HandleConnection_Single_Receiver_Constraints(const TNMOSResourceInfo* resource,
                                                  TRESTRequestData& request, const std::string& path) {
  return ServeIntern(resource, request, path, Constraints);
}

bool HandleConnection_Single_Sender_Active(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                           const std::string& path) {
  return ServeIntern(resource, request, path, SenderActive);
}

bool HandleConnection_Single_Receiver_Active(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                             const std::string& path) {
  return ServeIntern(resource, request, path, ReceiverActive);
}

bool HandleConnection_Single_Sender_Staged(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                           const std::string& path) {
  const std::string resourcePath = ResourcePath(resource, path);
  IQELNMOSNodeData& data = resource->GetBridge().Data();
  switch (request.Method) {
  case HTTP_GET_URI: {
    lws_log(QLLL_REST, LogRetrieve, resourcePath.c_str(), "Staged");
    TNodeDBReadLocker lock(data);
    SetJSONResult(request, 200, Compact(SenderStaged(data, resourcePath)));
    return true;
  }
  case HTTP_PUT_URI:
    StageSender(data, request, resourcePath);
    return true;
  case HTTP_PATCH_URI:
    Locked(request);
    return true;
  default:
    return false;
  }
}

bool HandleConnection_Single_Sender_TransportFile(const TNMOSResourceInfo* resource,
                                                  TRESTRequestData& request, const std::string& path) {
  if (request.Method != HTTP_GET_URI) return false;
  const std::string resourcePath = ResourcePath(resource, path);
  lws_log(QLLL_REST, LogRetrieve, resourcePath.c_str(), "TransportFile");
  IQELNMOSNodeData& data = resource->GetBridge().Data();
  TNodeDBReadLocker lock(data);
  // The firmware service serves the SDP itself; the store holds where.
  const json& href = data.Get(InternPath(resourcePath, "transportfile").c_str());
  if (!href.is_string() || href.get_ref<const std::string&>().empty()) return false;
  SetEmptyResult(request, 307);
  request.Result.Headers.emplace_back("Location", href.get<std::string>());
  return true;
}

bool HandleConnection_Single_Receiver_Staged(const TNMOSResourceInfo* resource, TRESTRequestData& request,
                                             const std::string& path) {
  if (request.Method == HTTP_PATCH_URI) {
    Locked(request);
    return true;
  }
  if (request.Method != HTTP_GET_URI) return false;
  lws_log(QLLL_REST, LogRetrieve, ResourcePath(resource, path).c_str(), "Staged");
  SetJSONResult(request, 200, ReceiverStagedBody());
  return true;
}

} // namespace Qel_nmos_bridge
