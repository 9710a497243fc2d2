// Pieces shared by the HTTP server and the websocket clients: the handler interface that the plain
// libwebsockets callbacks forward to, and the callback logger.
#pragma once

#include <libwebsockets.h>

#include <cstddef>

class ILWSHandler {
public:
  virtual ~ILWSHandler() = default;
  virtual int HandleLWSCallback(lws* wsi, int reason, void* user, void* in, size_t len) = 0;
};

namespace Qel_proto_http {

// Logs one libwebsockets callback at the lws-handler level (never printed unless that level is on).
int LogHandler(const char* name, lws* wsi, int reason, void* user, void* in, size_t len);

// libwebsockets' name of a callback reason, for log lines.
const char* ReasonName(int reason);

} // namespace Qel_proto_http
