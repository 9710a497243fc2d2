// Firmware documents: the built-in device scenario and scenario files.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace aes67fw_sim {

using json = nlohmann::json;

// The two documents a firmware pushes: configuration ("cmd" 0) and state ("cmd" 1).
struct Scenario {
  json config;
  json state;
};

// A device with `streams` transmit and `streams` receive streams whose state reports `device_ip` as the
// device's address. Identifiers are derived from the stream position, so every run (and every test) sees
// the same UUIDs.
Scenario BuiltinScenario(unsigned streams, const std::string& device_ip);

// Reads {"config": {...}, "state": {...}} from a file; throws std::runtime_error with the reason.
Scenario LoadScenario(const std::string& path);

// Checks that a document can stand in for the configuration or state and stamps its "cmd".
// Returns an empty text when accepted, else the reason.
std::string AdoptConfig(json& doc);
std::string AdoptState(json& doc);

} // namespace aes67fw_sim
