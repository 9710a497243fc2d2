// How the node's HTTP server writes a response: status line, the CORS headers every answer carries,
// content headers and body, and the error document of the NMOS APIs.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Qel_proto_http {

using THeaderList = std::vector<std::pair<std::string, std::string>>;

struct THTTPResponse {
  int Status = 200;
  std::string MimeType; // empty: no content type
  std::string Body;
  THeaderList Headers;   // further headers, (name without the colon, value)
  bool Close = false;    // the connection ends after this response
  bool HeadOnly = false; // the answer to a HEAD request: headers of the body, not the body
};

const char* ReasonPhrase(int status);

// {"code": status, "error": the reason phrase, "debug": debug or null}.
std::string ErrorDocument(int status, const std::string& debug = "");

// Appends the whole response to out.
void AppendResponse(std::string& out, const THTTPResponse& response);

} // namespace Qel_proto_http
