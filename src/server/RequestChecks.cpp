#include "RequestChecks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <regex>

namespace Qel_nmos_bridge {

using nlohmann::json;

bool ParseTAITime(const std::string& text, int64_t& nanoseconds);

bool IsNMOSID(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (ch != '-') return false;
    } else if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) {
      return false;
    }
  }
  return text[14] >= '1' && text[14] <= '5' && strchr("89ab", text[19]) != nullptr;
}

namespace {

using TCheck = std::function<bool(const json&)>;

bool IsTAITime(const std::string& text) {
  int64_t nanoseconds = 0;
  return ParseTAITime(text, nanoseconds);
}

bool IsAddress(const std::string& text) {
  unsigned char buf[16];
  return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

bool IsAddressOrAuto(const json& value) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  return text == "auto" || IsAddress(text);
}

bool IsAddressOrNull(const json& value) {
  return value.is_null() || (value.is_string() && IsAddress(value.get_ref<const std::string&>()));
}

TCheck PortOrAuto(int64_t minimum) {
  return [minimum](const json& value) {
    if (value.is_string()) return value.get_ref<const std::string&>() == "auto";
    return value.is_number_integer() && value.get<int64_t>() >= minimum && value.get<int64_t>() <= 65535;
  };
}

TCheck IntegerIn(int64_t minimum, int64_t maximum) {
  return [minimum, maximum](const json& value) {
    return value.is_number_integer() && value.get<int64_t>() >= minimum && value.get<int64_t>() <= maximum;
  };
}

TCheck OneOf(std::initializer_list<const char*> texts) {
  std::vector<std::string> allowed(texts.begin(), texts.end());
  return [allowed](const json& value) {
    if (!value.is_string()) return false;
    for (const std::string& text : allowed)
      if (value.get_ref<const std::string&>() == text) return true;
    return false;
  };
}

bool IsBoolean(const json& value) {
  return value.is_boolean();
}

// The RTP sender parameters and what each may hold.
const std::map<std::string, TCheck>& RTPSenderParams() {
  static const std::map<std::string, TCheck> params = {
      {"source_ip", IsAddressOrAuto},
      {"destination_ip", IsAddressOrAuto},
      {"source_port", PortOrAuto(0)},
      {"destination_port", PortOrAuto(1)},
      {"rtp_enabled", IsBoolean},
      {"fec_enabled", IsBoolean},
      {"fec_destination_ip", IsAddressOrAuto},
      {"fec_type", OneOf({"XOR", "Reed-Solomon"})},
      {"fec_mode", OneOf({"1D", "2D"})},
      {"fec_block_width", IntegerIn(4, 200)},
      {"fec_block_height", IntegerIn(4, 200)},
      {"fec1D_destination_port", PortOrAuto(1)},
      {"fec2D_destination_port", PortOrAuto(1)},
      {"fec1D_source_port", PortOrAuto(0)},
      {"fec2D_source_port", PortOrAuto(0)},
      {"rtcp_enabled", IsBoolean},
      {"rtcp_destination_ip", IsAddressOrAuto},
      {"rtcp_destination_port", PortOrAuto(1)},
      {"rtcp_source_port", PortOrAuto(0)},
  };
  return params;
}

using TParams = std::map<std::string, TCheck>;

// The RTP receiver parameters and what each may hold.
const TParams& RTPReceiverParams() {
  static const TParams params = {
      {"source_ip", IsAddressOrNull},
      {"multicast_ip", IsAddressOrNull},
      {"interface_ip", IsAddressOrAuto},
      {"destination_port", PortOrAuto(1)},
      {"rtp_enabled", IsBoolean},
      {"fec_enabled", IsBoolean},
      {"fec_destination_ip", IsAddressOrAuto},
      {"fec_mode", OneOf({"auto", "1D", "2D"})},
      {"fec1D_destination_port", PortOrAuto(1)},
      {"fec2D_destination_port", PortOrAuto(1)},
      {"rtcp_enabled", IsBoolean},
      {"rtcp_destination_ip", IsAddressOrAuto},
      {"rtcp_destination_port", PortOrAuto(1)},
  };
  return params;
}

bool CheckActivation(const json& activation, std::string& why) {
  if (!activation.is_object()) return why = "activation must be an object", false;
  if (!activation.contains("mode")) return why = "activation needs a mode", false;
  for (auto it = activation.begin(); it != activation.end(); ++it) {
    if (it.key() == "mode") {
      static const TCheck mode =
          OneOf({"activate_immediate", "activate_scheduled_absolute", "activate_scheduled_relative"});
      if (!it->is_null() && !mode(*it)) return why = "unknown activation mode", false;
    } else if (it.key() == "requested_time") {
      if (!it->is_null() && !(it->is_string() && IsTAITime(it->get_ref<const std::string&>())))
        return why = "requested_time must be null or <seconds>:<nanoseconds>", false;
    } else {
      return why = "unknown activation member \"" + it.key() + "\"", false;
    }
  }
  return true;
}

// An externally defined parameter may hold a string, a boolean, null or a number.
bool IsExtValue(const json& value) {
  return value.is_string() || value.is_boolean() || value.is_null() || value.is_number();
}

bool CheckLegs(const json& legs, size_t count, const TParams& params, const TConnectionRules& rules,
               std::string& why) {
  if (!legs.is_array()) return why = "transport_params must be an array", false;
  if (legs.size() != count)
    return why = "transport_params must have " + std::to_string(count) + " leg(s)", false;
  for (const json& leg : legs) {
    if (!leg.is_object()) return why = "a transport leg must be an object", false;
    for (auto it = leg.begin(); it != leg.end(); ++it) {
      auto param = params.find(it.key());
      if (param == params.end() && rules.ExtParams && IsExtParam(it.key())) {
        if (!IsExtValue(*it)) return why = "invalid value of transport parameter \"" + it.key() + "\"", false;
        continue;
      }
      if (param == params.end()) return why = "unknown transport parameter \"" + it.key() + "\"", false;
      if (!param->second(*it))
        return why = "invalid value of transport parameter \"" + it.key() + "\"", false;
    }
  }
  return true;
}

} // namespace

bool CheckSenderStage(const json& body, size_t legs, const TConnectionRules& rules, std::string& why) {
  if (!body.is_object()) return why = "staged parameters must be an object", false;
  for (auto it = body.begin(); it != body.end(); ++it) {
    const std::string& name = it.key();
    if (name == "receiver_id") {
      if (!it->is_null() && !(it->is_string() && IsNMOSID(it->get_ref<const std::string&>())))
        return why = "receiver_id must be null or a UUID", false;
    } else if (name == "master_enable") {
      if (!it->is_boolean()) return why = "master_enable must be a boolean", false;
    } else if (name == "activation") {
      if (!CheckActivation(*it, why)) return false;
    } else if (name == "transport_params") {
      if (!CheckLegs(*it, legs, RTPSenderParams(), rules, why)) return false;
    } else {
      return why = "unknown member \"" + name + "\"", false;
    }
  }
  return true;
}

bool CheckReceiverStage(const json& body, size_t legs, const TConnectionRules& rules, std::string& why) {
  if (!body.is_object()) return why = "staged parameters must be an object", false;
  for (auto it = body.begin(); it != body.end(); ++it) {
    const std::string& name = it.key();
    if (name == "sender_id") {
      if (!it->is_null() && !(it->is_string() && IsNMOSID(it->get_ref<const std::string&>())))
        return why = "sender_id must be null or a UUID", false;
    } else if (name == "master_enable") {
      if (!it->is_boolean()) return why = "master_enable must be a boolean", false;
    } else if (name == "activation") {
      if (!CheckActivation(*it, why)) return false;
    } else if (name == "transport_file") {
      if (!it->is_object()) return why = "transport_file must be an object", false;
      if (rules.WholeTransportFile && (!it->contains("data") || !it->contains("type")))
        return why = "transport_file needs both data and type", false;
      for (auto member = it->begin(); member != it->end(); ++member) {
        if (member.key() != "data" && member.key() != "type")
          return why = "unknown transport_file member \"" + member.key() + "\"", false;
        if (!member->is_null() && !member->is_string())
          return why = "transport_file " + member.key() + " must be a string or null", false;
      }
      if (it->contains("data") && it->contains("type") && (*it)["data"].is_null() != (*it)["type"].is_null())
        return why = "transport_file data and type must both be strings or both be null", false;
    } else if (name == "transport_params") {
      if (!CheckLegs(*it, legs, RTPReceiverParams(), rules, why)) return false;
    } else {
      return why = "unknown member \"" + name + "\"", false;
    }
  }
  return true;
}

namespace {

bool SatisfiesConstraint(const json& value, const json& constraint) {
  if (!constraint.is_object()) return false;
  if (constraint.contains("enum")) {
    const json& allowed = constraint["enum"];
    if (!allowed.is_array() || std::find(allowed.begin(), allowed.end(), value) == allowed.end())
      return false;
  }
  if (constraint.contains("minimum") && value.is_number() && value < constraint["minimum"]) return false;
  if (constraint.contains("maximum") && value.is_number() && value > constraint["maximum"]) return false;
  if (constraint.contains("pattern") && constraint["pattern"].is_string()) {
    if (!value.is_string()) return false;
    try {
      const std::regex pattern(constraint["pattern"].get<std::string>(), std::regex::ECMAScript);
      if (!std::regex_search(value.get_ref<const std::string&>(), pattern)) return false;
    } catch (const std::regex_error&) {
      return false;
    }
  }
  return true;
}

} // namespace

bool CheckConstraints(const json& legs, const json& constraints, std::string& why) {
  static const json NoConstraints = json::object();
  if (!legs.is_array()) return true;
  for (size_t leg = 0; leg < legs.size(); ++leg) {
    if (!legs[leg].is_object()) continue;
    const json& entry = constraints.is_array() && leg < constraints.size() ? constraints[leg] : NoConstraints;
    for (auto it = legs[leg].begin(); it != legs[leg].end(); ++it) {
      if (!entry.is_object() || !entry.contains(it.key()))
        return why = "transport parameter \"" + it.key() + "\" cannot be set on this device", false;
      if (it->is_string() && it->get_ref<const std::string&>() == "auto") continue;
      if (!SatisfiesConstraint(*it, entry[it.key()]))
        return why = "transport parameter \"" + it.key() +
                     "\" is outside the constraints: " + entry[it.key()].dump(),
               false;
    }
  }
  return true;
}

bool ParseTAITime(const std::string& text, int64_t& nanoseconds) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  // Seconds up to 2^32 (past 2106) and nanoseconds below one second; longer texts are refused
  // before anything could overflow.
  if (colon > 10 || text.size() - colon - 1 > 9) return false;
  int64_t seconds = 0, fraction = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == colon) continue;
    if (text[i] < '0' || text[i] > '9') return false;
    int64_t& part = i < colon ? seconds : fraction;
    part = part * 10 + (text[i] - '0');
  }
  if (seconds > (int64_t(1) << 32)) return false;
  nanoseconds = seconds * 1000000000 + fraction;
  return true;
}

bool CheckTargetSender(const json& body, std::string& why) {
  if (!body.is_object()) return why = "a target must be a sender document or {}", false;
  if (body.empty()) return true;
  static const char* const Required[] = {"id",      "version",   "label",     "description",
                                         "flow_id", "transport", "device_id", "manifest_href"};
  for (const char* member : Required)
    if (!body.contains(member)) return why = std::string("a sender document needs \"") + member + "\"", false;
  if (!body["id"].is_string() || !IsNMOSID(body["id"].get_ref<const std::string&>()))
    return why = "the sender's id is no NMOS identifier", false;
  for (const char* member : {"label", "description", "transport", "manifest_href", "version"})
    if (!body[member].is_string()) return why = std::string("\"") + member + "\" must be a string", false;
  return true;
}

} // namespace Qel_nmos_bridge
