// The simulator's HTTP resources: SDP files of the transmit streams and the test-control endpoints.
#pragma once

#include "firmware.hpp"

#include <string>

namespace aes67fw_sim {

enum class Method { Get, Put, Post, Delete, Other };

struct HttpResponse {
  unsigned status = 200;
  std::string content_type = "application/json";
  std::string body;
  bool push_config = false; // the configuration changed: push it to the websocket clients
  bool push_state = false;
};

// The largest request body the simulator takes.
constexpr std::size_t kMaxBody = 1 << 20;

HttpResponse Route(Firmware& firmware, Method method, const std::string& path, const std::string& body);

// JSON text of a document; texts that came in as invalid UTF-8 are shown with replacement characters.
std::string Serialise(const json& doc);

} // namespace aes67fw_sim
