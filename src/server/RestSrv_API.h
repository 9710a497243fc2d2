// The records of one REST dispatch: the request a route's handler answers and the result it fills in.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct lws;

namespace Qel_nmos_bridge {
class IQELNMOSBridge;
} // namespace Qel_nmos_bridge

namespace Qel_rest_srv {

enum THTTPMethod {
  HTTP_GET_URI = 0,
  HTTP_POST_URI = 1,
  HTTP_PUT_URI = 2,
  HTTP_DELETE_URI = 3,
  HTTP_PATCH_URI = 4
};

struct TRESTResultData {
  std::string Body;
  std::string MimeType;
  int HTTPResult = 404;
  // Further response headers as (name without the colon, value), for example a redirect's "Location".
  std::vector<std::pair<std::string, std::string>> Headers;
};

struct TRESTRequestData {
  std::string Client; // peer address
  lws* Socket = nullptr;
  THTTPMethod Method = HTTP_GET_URI;
  std::string URI; // request path without trailing "/"
  TRESTResultData Result;
  std::string PostData; // request body, empty when there is none
};

} // namespace Qel_rest_srv
