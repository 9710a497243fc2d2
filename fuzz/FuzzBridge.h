// One bridge for the whole run of a fuzz target, in this process: it knows a device with four streams
// each way from firmware documents, as the bridge's own tests build them, and takes requests and
// messages through the same calls the network and the firmware reach it by. Nothing runs on the network:
// the firmware it would connect to is on loopback, discovery finds no daemon, bus or DNS server.
#pragma once

#include "AES67FWClient.h"
#include "BridgeScenario.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"
#include "RESTServer.h"
#include "RestSrv_API.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace Qel_fuzz {

using namespace Qel_nmos_bridge;

constexpr int Streams = 4;

[[noreturn]] inline void Broken(const std::string& why) {
  fprintf(stderr, "%s\n", why.c_str());
  abort();
}

// The program's log lines go to standard output: not wanted at thousands of inputs a second, but
// kept with QEL_FUZZ_LOG set, to follow what one input does.
inline void QuietLog() {
  if (getenv("QEL_FUZZ_LOG")) return;
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  if (null > STDOUT_FILENO) close(null);
}

inline TQELNMOSBridge& Bridge() {
  static TQELNMOSBridge* bridge = [] {
    QuietLog();
    static char* argv[] = {const_cast<char*>("nmos-bridge"), const_cast<char*>("/box"),
                           const_cast<char*>("127.0.0.1:1")};
    static TQELNMOSConfig config(3, argv);
    auto* made = new TQELNMOSBridge(&config, GetLWSSetup());
    made->AESFWClient().HandleJSON(Scenario(Streams, false).dump().c_str());
    made->AESFWClient().HandleJSON(Scenario(Streams, true).dump().c_str());
    return made;
  }();
  return *bridge;
}

// Runs what the last input left for the loop (deferred work, timers due), without waiting.
inline void Turn() {
  uv_run(Bridge().ServiceHost().Loop(), UV_RUN_NOWAIT);
}

// The firmware's documents again: the device as it was at the start.
inline void Restore() {
  Bridge().AESFWClient().HandleJSON(Scenario(Streams, false).dump().c_str());
  Bridge().AESFWClient().HandleJSON(Scenario(Streams, true).dump().c_str());
}

// What every client of the node relies on, whatever came before: the store is one valid JSON document
// (it can be written out as UTF-8), every published resource an object under its own id.
inline void CheckStore() {
  IQELNMOSNodeData& data = Bridge().Data();
  TNodeDBReadLocker lock(data);
  const json& root = data.Get("");
  if (!root.is_object()) Broken("the store's root is not an object");
  try {
    (void)root.dump(-1, ' ', false, json::error_handler_t::strict);
  } catch (const std::exception& e) {
    Broken(std::string("the store cannot be written out: ") + e.what());
  }
  for (const char* collection : {"/senders", "/receivers", "/sources", "/flows", "/devices"}) {
    const json& resources = data.Get(collection);
    if (resources.is_null()) continue;
    if (!resources.is_object()) Broken(std::string(collection) + " is not an object");
    for (auto it = resources.begin(); it != resources.end(); ++it)
      if (!it->is_object() || it->value("id", "") != it.key())
        Broken(std::string(collection) + "/" + it.key() + " is not stored under its id");
  }
  // What a resource names is there: a registry refuses a resource whose parent it does not hold.
  auto holds = [&](const char* collection, const json& id) {
    const json& resources = data.Get(collection);
    return id.is_string() && resources.is_object() && resources.contains(id.get<std::string>());
  };
  auto check = [&](const char* collection, const char* member, const char* parents, bool nullable) {
    const json& resources = data.Get(collection);
    if (!resources.is_object()) return;
    for (auto it = resources.begin(); it != resources.end(); ++it) {
      const json& id = it->contains(member) ? (*it)[member] : json();
      if (!(nullable && id.is_null()) && !holds(parents, id))
        Broken(std::string(collection) + "/" + it.key() + " names a missing " + member + ": " + id.dump());
    }
  };
  check("/senders", "flow_id", "/flows", true);
  check("/senders", "device_id", "/devices", false);
  check("/receivers", "device_id", "/devices", false);
  check("/flows", "source_id", "/sources", false);
  check("/sources", "device_id", "/devices", false);
}

// A request through the route table, as the server hands it on; the status (404 when no route serves it).
inline int Serve(Qel_rest_srv::THTTPMethod method, const std::string& uri, const std::string& body,
                 std::string* answer = nullptr) {
  Qel_rest_srv::TRESTRequestData request;
  request.Client = "127.0.0.1";
  request.Method = method;
  request.URI = uri;
  request.PostData = body;
  if (!Bridge().RestSrv().HandleRequest(request)) return 404;
  if (answer) *answer = request.Result.Body;
  return request.Result.HTTPResult;
}

} // namespace Qel_fuzz
