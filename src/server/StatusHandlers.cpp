// The status page and its JSON. Both are open, as "/stats" is: the page holds no data, and the JSON
// only what "/stats" already shows (without the log lines where the Node API needs a token). The page
// reads senders, receivers and clocks from the Node API itself, under that API's rules.
#include "NMOSAPIHandlers.h"

#include "NMOSBridge_API.h"
#include "StatusPage.h"

namespace Qel_nmos_bridge {

namespace {

void NoStore(TRESTRequestData& request) {
  request.Result.Headers.emplace_back("Cache-Control", "no-store");
  request.Result.Headers.emplace_back("X-Content-Type-Options", "nosniff");
}

} // namespace

bool ShowStatusPage(const TRouteArgs&, TRESTRequestData& request) {
  if (request.Method != Qel_rest_srv::HTTP_GET_URI) return false;
  request.Result.HTTPResult = 200;
  request.Result.MimeType = "text/html; charset=utf-8";
  request.Result.Body = StatusPageHTML();
  NoStore(request);
  request.Result.Headers.emplace_back("Content-Security-Policy", StatusPageCSP());
  request.Result.Headers.emplace_back("Referrer-Policy", "no-referrer");
  request.Result.Headers.emplace_back("X-Frame-Options", "DENY");
  return true;
}

bool ShowStatusJSON(const TRouteArgs& route, TRESTRequestData& request) {
  if (request.Method != Qel_rest_srv::HTTP_GET_URI) return false;
  // Log lines and labels come from the firmware and peers: invalid UTF-8 goes out replaced.
  SetJSONResult(request, 200,
                route.Bridge.StatusReport().dump(2, ' ', false, json::error_handler_t::replace));
  NoStore(request);
  return true;
}

} // namespace Qel_nmos_bridge
