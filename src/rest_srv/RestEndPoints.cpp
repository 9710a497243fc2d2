#include "RestEndPoints.h"

namespace Qel_rest_srv {

namespace {
const char* const JSONMimeType = "application/json";
} // namespace

bool TRESTEndPointHandlerImplStatic::Handle(const Qel_nmos_bridge::TNMOSResourceInfo*,
                                            TRESTRequestData& request) const {
  if (request.Method != HTTP_GET_URI) return false;
  request.Result.Body = StaticContent;
  request.Result.MimeType = JSONMimeType;
  request.Result.HTTPResult = 200;
  return true;
}

TEndPointHandler MakeEndPointHandler(const char* staticContent) {
  return std::make_shared<const TRESTEndPointHandlerImplStatic>(staticContent);
}

TEndPointHandler MakeEndPointHandler(TNodeFunction function) {
  return std::make_shared<const TRESTEndPointHandlerImplNodeFunction>(function);
}

TEndPointHandler MakeEndPointHandler(TNodeListFunction function, const char* path) {
  return std::make_shared<const TRESTEndPointHandlerImplNodeList>(function, path);
}

} // namespace Qel_rest_srv
