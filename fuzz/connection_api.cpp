// What controllers send to the Connection API (and to the Node API's receiver targets), through the
// route table as the server hands requests on: stagings of single senders and receivers, bulk
// stagings, activations at once and at a time, transport files. An input is up to eight requests, each a
// byte naming the route and the body after it, the requests apart by a NUL byte.
// What must hold: no request ends in an internal error; every answer with a body is JSON; a staging
// refused leaves what was staged as it was (nothing is stored half-written), in a bulk request too for
// each resource refused; the store stays valid.
#include "FuzzBridge.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace Qel_fuzz;
using Qel_rest_srv::THTTPMethod;

namespace {

const char* const Senders[] = {"1a2b3c4d-0000-4000-8000-000000000000",
                               "1a2b3c4d-0000-4000-8000-000000000001"};
const char* const Receivers[] = {"3a2b3c4d-0000-4000-8000-000000000000",
                                 "3a2b3c4d-0000-4000-8000-000000000001"};
const char* const Versions[] = {"v1.0", "v1.1"};

std::string Base(int version) {
  return std::string("/x-nmos/connection/") + Versions[version];
}

std::string StagedPath(int version, bool sender, int index) {
  return Base(version) + (sender ? "/single/senders/" : "/single/receivers/") +
         (sender ? Senders[index] : Receivers[index]) + "/staged";
}

std::string GetText(const std::string& uri) {
  std::string answer;
  const int status = Serve(Qel_rest_srv::HTTP_GET_URI, uri, "", &answer);
  return std::to_string(status) + " " + answer;
}

// All stagings of one kind, as a GET of each shows them.
std::vector<std::string> StagedOfKind(int version, bool sender) {
  return {GetText(StagedPath(version, sender, 0)), GetText(StagedPath(version, sender, 1))};
}

void CheckAnswer(int status, const std::string& answer, const std::string& what) {
  if (status >= 500) Broken(what + " ended in " + std::to_string(status) + ": " + answer);
  if (!answer.empty() && json::parse(answer, nullptr, false).is_discarded())
    Broken(what + " answered what is not JSON: " + answer);
}

void Request(uint8_t route, const std::string& body) {
  const int version = route & 1;
  const bool sender = route & 2;
  const int index = (route >> 2) & 1;
  const std::string staged = StagedPath(version, sender, index);
  switch ((route >> 3) % 6) {
  case 0: { // a single staging
    const std::string before = GetText(staged);
    std::string answer;
    const int status = Serve(Qel_rest_srv::HTTP_PATCH_URI, staged, body, &answer);
    CheckAnswer(status, answer, "PATCH " + staged);
    Turn();
    if (status >= 400 && GetText(staged) != before) Broken("a refused staging changed " + staged);
    break;
  }
  case 1: { // a bulk staging
    const std::vector<std::string> before = StagedOfKind(version, sender);
    const std::string uri = Base(version) + (sender ? "/bulk/senders" : "/bulk/receivers");
    std::string answer;
    const int status = Serve(Qel_rest_srv::HTTP_POST_URI, uri, body, &answer);
    CheckAnswer(status, answer, "POST " + uri);
    Turn();
    const std::vector<std::string> after = StagedOfKind(version, sender);
    if (status >= 400) {
      if (after != before) Broken("a refused bulk staging changed a staging");
      break;
    }
    const json results = json::parse(answer, nullptr, false);
    if (!results.is_array()) Broken("a bulk staging answered " + std::to_string(status) + " without a list");
    std::vector<json> accepted;
    for (const json& result : results) {
      if (!result.is_object() || !result.contains("id") || !result["id"].is_string() ||
          !result.contains("code") || !result["code"].is_number_integer())
        Broken("a bulk result without id or code: " + result.dump());
      if (result["code"].get<int>() < 400) accepted.push_back(result["id"]);
    }
    // A resource whose every item was refused is staged as before.
    for (int i = 0; i < 2; ++i) {
      const json id = sender ? Senders[i] : Receivers[i];
      if (after[i] != before[i] && std::find(accepted.begin(), accepted.end(), id) == accepted.end())
        Broken("a refused bulk item changed " + StagedPath(version, sender, i));
    }
    break;
  }
  case 2: { // a receiver's target in the Node API
    const std::string uri = std::string("/x-nmos/node/") + (version ? "v1.3" : "v1.2") + "/receivers/" +
                            Receivers[index] + "/target";
    std::string answer;
    const int status = Serve(Qel_rest_srv::HTTP_PUT_URI, uri, body, &answer);
    CheckAnswer(status, answer, "PUT " + uri);
    Turn();
    break;
  }
  default: { // what a controller reads back
    static const char* const documents[] = {"/active", "/constraints", "/transportfile", "/staged"};
    const std::string resource = staged.substr(0, staged.size() - 7);
    const std::string uri = resource + documents[route >> 6];
    std::string answer;
    const int status = Serve(Qel_rest_srv::HTTP_GET_URI, uri, "", &answer);
    if (status >= 500) Broken("GET " + uri + " ended in " + std::to_string(status));
    break;
  }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const json intern = [] {
    TNodeDBReadLocker lock(Bridge().Data());
    return Bridge().Data().Get("/intern");
  }();
  // Every input starts from the same node: the device as it was, nothing staged or active.
  Restore();
  {
    TNodeDBWriteLocker lock(Bridge().Data());
    Bridge().Data().Set("/intern", intern);
  }
  Turn();
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (int requests = 0; requests < 8 && start < input.size(); ++requests) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    if (end > start) Request(static_cast<uint8_t>(input[start]), input.substr(start + 1, end - start - 1));
    start = end + 1;
  }
  CheckStore();
  return 0;
}
