#include "HTTPResponse.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace Qel_proto_http {

namespace {

const char* const ServerHeader = "Server: QEL_NMOS_BRIDGE\r\n";
const char* const CORSHeaders =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, PUT, POST, PATCH, HEAD, OPTIONS, DELETE\r\n"
    "Access-Control-Allow-Headers: Content-Type, Accept, Authorization\r\n"
    "Access-Control-Expose-Headers: WWW-Authenticate, Retry-After\r\n"
    "Access-Control-Max-Age: 3600\r\n";

struct TReason {
  int Status;
  const char* Text;
};

const TReason Reasons[] = {
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {301, "Moved Permanently"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {411, "Length Required"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {417, "Expectation Failed"},
    {423, "Locked"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {503, "Service Unavailable"},
    {505, "HTTP Version Not Supported"},
};

// Statuses that never carry a body nor a length.
bool Bodiless(int status) {
  return status < 200 || status == 204 || status == 304;
}

} // namespace

const char* ReasonPhrase(int status) {
  for (const TReason& reason : Reasons)
    if (reason.Status == status) return reason.Text;
  return status < 400 ? "OK" : "Error";
}

std::string ErrorDocument(int status, const std::string& debug) {
  nlohmann::json doc = {{"code", status}, {"error", ReasonPhrase(status)}, {"debug", nullptr}};
  if (!debug.empty()) doc["debug"] = debug;
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void AppendResponse(std::string& out, const THTTPResponse& response) {
  char line[64];
  snprintf(line, sizeof line, "HTTP/1.1 %d ", response.Status);
  out += line;
  out += ReasonPhrase(response.Status);
  out += "\r\n";
  out += ServerHeader;
  out += CORSHeaders;
  if (!response.MimeType.empty()) out += "Content-type: " + response.MimeType + "\r\n";
  for (const auto& [name, value] : response.Headers)
    out += name + ": " + value + "\r\n";
  if (!Bodiless(response.Status)) {
    snprintf(line, sizeof line, "Content-Length: %zu\r\n", response.Body.size());
    out += line;
  }
  if (response.Close) out += "Connection: close\r\n";
  out += "\r\n";
  if (!response.HeadOnly && !Bodiless(response.Status)) out += response.Body;
}

} // namespace Qel_proto_http
