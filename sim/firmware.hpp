// The firmware service's documents and its side of the websocket JSON protocol, free of any transport.
#pragma once

#include "scenario.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace aes67fw_sim {

// What the transport has to do after a message from a client.
struct Reaction {
  bool push_config = false; // send the configuration to every client
  bool push_state = false;  // send the state to every client
  std::string answer;       // a text to send back to this client only, when not empty
};

class Firmware {
public:
  explicit Firmware(Scenario scenario);

  const json& Config() const { return scenario_.config; }
  const json& State() const { return scenario_.state; }
  // {"config": ..., "state": ...}
  json Documents() const;

  // Replace a document; an empty result means done, anything else is the reason for refusing it.
  std::string ReplaceConfig(json doc);
  std::string ReplaceState(json doc);

  // A text message from a client: records it and acts on "cmd" 10 and 14.
  Reaction HandleText(std::string_view text);
  // A message that cannot be a command (binary, too large): recorded as a note, answered with "cmd" -1.
  Reaction HandleUndecodable(const std::string& note);

  const json& Received() const { return received_; }
  void ClearReceived() { received_ = json::array(); }

  // What a firmware answers when it could not decode a command.
  static std::string DecodeError();

private:
  Reaction Subscribe(const json& message);
  void Record(json message);

  Scenario scenario_;
  json received_ = json::array();
};

} // namespace aes67fw_sim
