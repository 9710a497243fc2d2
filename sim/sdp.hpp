// Session descriptions of transmit streams, as the firmware serves them under /sdp/<sender-id>.sdp.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace aes67fw_sim {

// The SDP of the transmit stream whose "id" is `sender_id`, or nothing when the configuration has no
// such stream.
std::optional<std::string> SenderSdp(const nlohmann::json& config, const nlohmann::json& state,
                                     const std::string& sender_id);

// Packet time in milliseconds as SDP writes it: "1", "0.125", "0.333".
std::string PacketTime(long long samples_per_packet, long long sample_rate);

} // namespace aes67fw_sim
