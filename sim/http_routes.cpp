#include "http_routes.hpp"

#include "sdp.hpp"

namespace aes67fw_sim {
namespace {

HttpResponse Error(unsigned status, const std::string& reason) {
  return HttpResponse{status, "application/json", Serialise(json{{"code", status}, {"error", reason}})};
}

HttpResponse Json(const json& doc) {
  return HttpResponse{200, "application/json", Serialise(doc)};
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

HttpResponse Sdp(const Firmware& firmware, const std::string& path) {
  const std::string prefix = "/sdp/", suffix = ".sdp";
  if (!EndsWith(path, suffix) || path.size() <= prefix.size() + suffix.size())
    return Error(404, "no such transport file");
  const std::string id = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  auto sdp = SenderSdp(firmware.Config(), firmware.State(), id);
  if (!sdp) return Error(404, "no transmit stream with id " + id);
  return HttpResponse{200, "application/sdp", std::move(*sdp)};
}

HttpResponse PutDocument(Firmware& firmware, bool config, const std::string& body) {
  json doc = json::parse(body, nullptr, false);
  if (doc.is_discarded()) return Error(400, "the body is not valid JSON");
  const std::string why =
      config ? firmware.ReplaceConfig(std::move(doc)) : firmware.ReplaceState(std::move(doc));
  if (!why.empty()) return Error(400, why);
  HttpResponse r = Json(config ? firmware.Config() : firmware.State());
  r.push_config = config;
  r.push_state = !config;
  return r;
}

const char* kIndex = "aes67fw-sim: AES67 firmware service simulator\n"
                     "websocket: path \"/\", subprotocol \"WS-protocol\"\n"
                     "GET /sdp/<sender-id>.sdp, GET /scenario, PUT /scenario/config, PUT /scenario/state,\n"
                     "GET /received, DELETE /received\n";

} // namespace

std::string Serialise(const json& doc) {
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

HttpResponse Route(Firmware& firmware, Method method, const std::string& path, const std::string& body) {
  const bool get = method == Method::Get;
  if (StartsWith(path, "/sdp/")) return get ? Sdp(firmware, path) : Error(405, "only GET is allowed here");
  if (path == "/scenario") return get ? Json(firmware.Documents()) : Error(405, "only GET is allowed here");
  if (path == "/scenario/config" || path == "/scenario/state") {
    if (method != Method::Put) return Error(405, "only PUT is allowed here");
    return PutDocument(firmware, path == "/scenario/config", body);
  }
  if (path == "/received") {
    if (get) return Json(firmware.Received());
    if (method != Method::Delete) return Error(405, "only GET and DELETE are allowed here");
    firmware.ClearReceived();
    return Json(json::array());
  }
  if (path == "/" && get) return HttpResponse{200, "text/plain", kIndex};
  return Error(404, "not found");
}

} // namespace aes67fw_sim
