// Grains of a registry's Query API websocket. The reader takes a message in whatever pieces the
// websocket hands over: it must tell the same items, and come to the same end, whether it gets the
// message whole or in pieces whose sizes the input's first byte chooses. Then the grain goes through the
// bridge's name table as a subscription's message does: the node's own names are never a registry's to
// change, and the store stays valid. The websocket hands on only well-formed UTF-8 text, so only such
// messages are compared with what a JSON parser makes of them and go on to the bridge.
#include "FuzzBridge.h"
#include "NMOSQueryClient.h"
#include "QueryGrainReader.h"
#include "UTF8Check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace Qel_fuzz;

namespace {

// Small enough that the fuzzer reaches the bound.
constexpr size_t MaxBytes = 8192;

std::string Describe(const std::string& topic, const TGrainItem& item) {
  return topic + "|" + std::to_string(item.IsObject) + std::to_string(item.PathKind) + item.Path + "|" +
         std::to_string(item.Pre) + std::to_string(item.Post) + std::to_string(item.LabelKind) + item.Label;
}

struct TRead {
  std::vector<std::string> Items;
  TGrainReader::TResult Result;
  bool HasGrain;
};

TRead Read(const std::vector<std::string>& pieces) {
  TRead read;
  TGrainReader reader(MaxBytes, [&read](const std::string& topic, const TGrainItem& item) {
    if (item.Path.size() > TGrainReader::MaxText || item.Label.size() > TGrainReader::MaxText)
      Broken("a text beyond the bound was kept");
    read.Items.push_back(Describe(topic, item));
  });
  for (const std::string& piece : pieces)
    reader.Feed(piece.data(), piece.size());
  read.HasGrain = reader.HasGrain();
  read.Result = reader.Finish();
  // Items waiting for a topic that never comes are counted but not told.
  if (read.Items.size() > reader.Items()) Broken("the reader told more items than it counts");
  return read;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  unsigned seed = data[0];
  const std::string message(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> pieces;
  for (size_t pos = 0; pos < message.size();) {
    seed = seed * 1103515245u + 12345u;
    const size_t len = 1 + (seed >> 16) % 64;
    pieces.push_back(message.substr(pos, len));
    pos += len;
  }
  const TRead whole = Read({message}), split = Read(pieces);
  if (whole.Result != split.Result || whole.HasGrain != split.HasGrain)
    Broken("the pieces came to another end");
  if (whole.Items != split.Items) Broken("the pieces told other items");
  if (message.size() > MaxBytes && whole.Result != TGrainReader::grTooBig)
    Broken("a grain beyond the bound was taken");
  Qel_websock_api::TUTF8Check utf8;
  if (!utf8.Feed(message.data(), message.size()) || !utf8.Complete()) return 0;
  // A JSON parser to compare with: it stops at a number beyond a double's range (still JSON) and at a
  // NUL byte (as if the text ended there), and then it tells nothing.
  enum { Valid, Invalid, Untold } verdict = Valid;
  try {
    (void)json::parse(message);
  } catch (const json::parse_error&) {
    verdict = Invalid;
  } catch (const json::out_of_range&) {
    verdict = Untold;
  }
  if (message.find('\0') != std::string::npos) verdict = Untold;
  if (whole.Result == TGrainReader::grWhole && message.size() <= MaxBytes && verdict == Invalid)
    Broken("a message that is not JSON was taken as whole");
  if (whole.Result == TGrainReader::grNotJSON && verdict == Valid) Broken("a JSON message was refused");

  static const std::string ownSender = "1a2b3c4d-0000-4000-8000-000000000000";
  static const std::string ownName = Bridge().Data().GetNameFromUUID("senders", ownSender);
  auto* client = dynamic_cast<TQELNMOSQueryClient*>(&Bridge().QueryClient());
  if (!client) Broken("no query client");
  client->QueryAPIReceivedText(nullptr, message.data(), static_cast<int>(message.size()));
  Turn();
  if (Bridge().Data().GetNameFromUUID("senders", ownSender) != ownName)
    Broken("a grain renamed the node's own sender");
  CheckStore();
  return 0;
}
