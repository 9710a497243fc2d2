// The kinds of endpoint a route can lead to: a fixed text, a handler of the resource that owns the
// URL, or such a handler bound to a store path. Route tables are built from them once at start-up.
#pragma once

#include "RestSrv_API.h"

#include <memory>
#include <string>

namespace Qel_rest_srv {

using TNodeFunction = bool (*)(const Qel_nmos_bridge::TNMOSResourceInfo* resource, TRESTRequestData& request);
using TNodeListFunction = bool (*)(const Qel_nmos_bridge::TNMOSResourceInfo* resource,
                                   TRESTRequestData& request, const std::string& path);

// Answers GET with the same JSON text; other methods are not served.
class TRESTEndPointHandlerImplStatic : public IRESTEndPointHandlerImpl {
public:
  explicit TRESTEndPointHandlerImplStatic(std::string content) : StaticContent(std::move(content)) {}
  bool Handle(const Qel_nmos_bridge::TNMOSResourceInfo* resource, TRESTRequestData& request) const override;

private:
  const std::string StaticContent;
};

class TRESTEndPointHandlerImplNodeFunction : public IRESTEndPointHandlerImpl {
public:
  explicit TRESTEndPointHandlerImplNodeFunction(TNodeFunction function) : Function(function) {}
  bool Handle(const Qel_nmos_bridge::TNMOSResourceInfo* resource, TRESTRequestData& request) const override {
    return Function(resource, request);
  }

private:
  const TNodeFunction Function;
};

// The path may hold variables; the handler resolves them with the owning resource's storage.
class TRESTEndPointHandlerImplNodeList : public IRESTEndPointHandlerImpl {
public:
  TRESTEndPointHandlerImplNodeList(TNodeListFunction function, std::string path)
      : Function(function), Path(std::move(path)) {}
  bool Handle(const Qel_nmos_bridge::TNMOSResourceInfo* resource, TRESTRequestData& request) const override {
    return Function(resource, request, Path);
  }

private:
  const TNodeListFunction Function;
  const std::string Path;
};

using TEndPointHandler = std::shared_ptr<const IRESTEndPointHandlerImpl>;

TEndPointHandler MakeEndPointHandler(const char* staticContent);
TEndPointHandler MakeEndPointHandler(TNodeFunction function);
TEndPointHandler MakeEndPointHandler(TNodeListFunction function, const char* path);

} // namespace Qel_rest_srv
