// The records of one REST dispatch and the interfaces through which resources register their URLs
// with the HTTP server and answer the requests for them.
#pragma once

#include "VarStorage.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct lws;

namespace Qel_nmos_bridge {
class IQELNMOSRestServer;
class TNMOSResourceInfo;
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
  Qel_nmos_bridge::IQELNMOSRestServer* Server = nullptr;
  std::string Client; // peer address
  lws* Socket = nullptr;
  THTTPMethod Method = HTTP_GET_URI;
  std::string URI; // request path without trailing "/"
  TRESTResultData Result;
  std::string PostData; // request body, empty when there is none
};

class IRESTEndPointHandlerImpl {
public:
  virtual ~IRESTEndPointHandlerImpl() = default;
  virtual void Destroy() { delete this; }
  // True when the request was handled and its result is to be sent.
  virtual bool Handle(const Qel_nmos_bridge::TNMOSResourceInfo* resource,
                      TRESTRequestData& request) const = 0;
};

// Implemented by every resource that owns URLs.
class ILWSRESTHandler {
public:
  virtual ~ILWSRESTHandler() = default;
  virtual bool HandleReqest(TRESTRequestData& request, const IRESTEndPointHandlerImpl* endpoint) = 0;
  virtual IVarStorage& AsVS() = 0;
};

// URL pattern (with "${...}" variables) -> endpoint handler.
using TMultiURLHandlerData = std::map<std::string, std::shared_ptr<const IRESTEndPointHandlerImpl>>;

struct TRESTHandlerData {
  const TMultiURLHandlerData* MultiHandlerData;
};

struct TRESTHandler_Static_Def {
  const TRESTHandlerData& StaticData;
};

class IRESTHandlerRegistration {
public:
  virtual ~IRESTHandlerRegistration() = default;
  virtual bool AddURLHandler(ILWSRESTHandler* handler, const TRESTHandler_Static_Def& def) = 0;
  virtual bool DelURLHandler(ILWSRESTHandler* handler) = 0;
};

} // namespace Qel_rest_srv
