// The firmware's configuration and state documents (and whatever else it sends over its websocket) as
// the bridge receives them: an input is up to four messages apart by NUL bytes, each handed to the
// firmware client after the device's own two documents. What must hold: the differences of any two
// documents are found without harm, and none between a document and itself; whatever the messages, the
// store stays a valid document with every resource under its own id, and the device's documents again
// bring the node back to the device it is.
#include "AES67FWChanges.h"
#include "FuzzBridge.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace Qel_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const json config = Scenario(Streams, false), state = Scenario(Streams, true);
  static const size_t senders = [] {
    TNodeDBReadLocker lock(Bridge().Data());
    return Bridge().Data().Get("/senders").size();
  }();
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> messages;
  for (size_t start = 0; start <= input.size() && messages.size() < 4;) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    messages.push_back(input.substr(start, end - start));
    start = end + 1;
  }

  for (const std::string& message : messages) {
    const json doc = json::parse(message, nullptr, false);
    if (doc.is_discarded()) continue;
    (void)Qel_proto_aes67fw::ConfigChanges(config, doc);
    (void)Qel_proto_aes67fw::StateChanges(state, doc);
    (void)Qel_proto_aes67fw::ConfigChanges(doc, config);
    if (!Qel_proto_aes67fw::ConfigChanges(doc, doc).empty() ||
        !Qel_proto_aes67fw::StateChanges(doc, doc).empty())
      Broken("a document differs from itself");
  }

  Restore();
  for (const std::string& message : messages) {
    Bridge().AESFWClient().HandleJSON(message.data(), message.size());
    Turn();
    CheckStore();
  }
  Restore();
  Turn();
  CheckStore();
  TNodeDBReadLocker lock(Bridge().Data());
  if (Bridge().Data().Get("/senders").size() != senders)
    Broken("the device's documents did not bring its senders back: " +
           std::to_string(Bridge().Data().Get("/senders").size()) + " of " + std::to_string(senders));
  return 0;
}
