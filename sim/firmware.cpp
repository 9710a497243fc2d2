#include "firmware.hpp"

#include <cstdio>

namespace aes67fw_sim {
namespace {

constexpr int kCmdSubscribe = 10;
constexpr int kCmdLogText = 14;
// Old entries go first so that a long-running simulator keeps a bounded record.
constexpr std::size_t kMaxRecorded = 10000;

// Sets "source" and "enabled" of one receive stream as a connection request asks.
void ApplyToStream(json& stream, const json& data) {
  if (!stream.is_object()) return;
  const auto source = data.find("source");
  if (source != data.end() && source->is_string()) stream["source"] = *source;
  const auto enabled = data.find("enabled");
  if (enabled != data.end() && enabled->is_boolean()) stream["enabled"] = *enabled;
}

json* RxStreamAt(json& doc, std::size_t index) {
  const auto streams = doc.find("rx-streams");
  if (streams == doc.end() || !streams->is_array() || index >= streams->size()) return nullptr;
  return &(*streams)[index];
}

} // namespace

Firmware::Firmware(Scenario scenario) : scenario_(std::move(scenario)) {}

json Firmware::Documents() const {
  return {{"config", scenario_.config}, {"state", scenario_.state}};
}

std::string Firmware::ReplaceConfig(json doc) {
  std::string why = AdoptConfig(doc);
  if (why.empty()) scenario_.config = std::move(doc);
  return why;
}

std::string Firmware::ReplaceState(json doc) {
  std::string why = AdoptState(doc);
  if (why.empty()) scenario_.state = std::move(doc);
  return why;
}

std::string Firmware::DecodeError() {
  return R"({"cmd":-1})";
}

void Firmware::Record(json message) {
  if (received_.size() >= kMaxRecorded) received_.erase(received_.begin());
  received_.push_back(std::move(message));
}

Reaction Firmware::HandleUndecodable(const std::string& note) {
  Record(note);
  return Reaction{false, false, DecodeError()};
}

Reaction Firmware::HandleText(std::string_view text) {
  json message = json::parse(text.begin(), text.end(), nullptr, false);
  if (message.is_discarded()) {
    // Message 14 carries its text unescaped, so a text with quotes arrives as invalid JSON; keep it verbatim.
    Record(std::string(text));
    return Reaction{false, false, DecodeError()};
  }
  Record(message);
  const auto cmd = message.is_object() ? message.find("cmd") : message.end();
  if (cmd == message.end() || !cmd->is_number_integer()) return Reaction{false, false, DecodeError()};
  switch (cmd->get<long long>()) {
  case kCmdSubscribe:
    return Subscribe(message);
  case kCmdLogText:
    return Reaction{};
  default:
    return Reaction{false, false, DecodeError()};
  }
}

// Message 10 connects receive stream "id" to the stream named in "data"/"source".
Reaction Firmware::Subscribe(const json& message) {
  const auto id = message.find("id");
  const auto data = message.find("data");
  if (id == message.end() || !id->is_number_unsigned() || data == message.end() || !data->is_object())
    return Reaction{false, false, DecodeError()};
  const auto index = id->get<std::size_t>();
  json* configured = RxStreamAt(scenario_.config, index);
  if (configured == nullptr) return Reaction{false, false, DecodeError()};
  ApplyToStream(*configured, *data);
  if (json* running = RxStreamAt(scenario_.state, index)) ApplyToStream(*running, *data);
  return Reaction{true, true, {}};
}

} // namespace aes67fw_sim
