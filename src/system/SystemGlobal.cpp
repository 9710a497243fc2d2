#include "SystemGlobal.h"

#include <arpa/inet.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <regex>

namespace Qel_nmos_bridge {

using nlohmann::json;

namespace {

bool Matches(const std::string& text, const char* pattern) {
  return std::regex_match(text, std::regex(pattern));
}

// A whole number in [min, max] (JSON 5 and 5.0 alike; 5.5 is none).
bool WholeNumber(const json& value, int64_t min, int64_t max, unsigned& out) {
  int64_t n = 0;
  if (value.is_number_integer()) {
    n = value.get<int64_t>();
  } else if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!(d >= static_cast<double>(min) && d <= static_cast<double>(max)) ||
        d != static_cast<double>(static_cast<int64_t>(d)))
      return false;
    n = static_cast<int64_t>(d);
  } else {
    return false;
  }
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(max)) return false;
  if (n < min || n > max) return false;
  out = static_cast<unsigned>(n);
  return true;
}

bool ReadTarget(const json& doc, const char* key, uint16_t defaultPort, TSyslogTarget& out,
                std::string& error) {
  if (!doc.contains(key)) return true;
  const json& target = doc[key];
  if (!target.is_object()) {
    error = std::string("\"") + key + "\" is not an object";
    return false;
  }
  out.Port = defaultPort;
  if (target.contains("port")) {
    unsigned port = 0;
    if (!WholeNumber(target["port"], 1, 65535, port)) {
      error = std::string("\"") + key + "\".port is not a port number";
      return false;
    }
    out.Port = static_cast<uint16_t>(port);
  }
  if (target.contains("hostname")) {
    if (!target["hostname"].is_string() || !IsHostOrAddress(target["hostname"].get<std::string>())) {
      error = std::string("\"") + key + "\".hostname is not a host name or address";
      return false;
    }
    out.Host = target["hostname"].get<std::string>();
  }
  return true;
}

} // namespace

bool IsHostOrAddress(const std::string& text) {
  unsigned char buf[16];
  if (inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1) return true;
  std::string name = text;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '.') {
      if (label == 0 || name[i - 1] == '-') return false;
      label = 0;
      continue;
    }
    if (!std::isalnum(c) && !(c == '-' && label > 0)) return false;
    if (++label > 63) return false;
  }
  return label > 0 && name.back() != '-';
}

bool ParseSystemGlobal(const std::string& body, TSystemGlobal& out, std::string& error) {
  const json doc = json::parse(body, nullptr, false);
  if (doc.is_discarded()) {
    error = "not JSON";
    return false;
  }
  if (!doc.is_object()) {
    error = "not an object";
    return false;
  }
  TSystemGlobal g;
  for (const char* key : {"id", "version", "label", "description"})
    if (!doc.contains(key) || !doc[key].is_string()) {
      error = std::string("\"") + key + "\" is missing or not a string";
      return false;
    }
  g.ID = doc["id"].get<std::string>();
  if (!Matches(g.ID, "^[0-9a-f]{8}-[0-9a-f]{4}-[1-5][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")) {
    error = "\"id\" is not a UUID";
    return false;
  }
  g.Version = doc["version"].get<std::string>();
  if (!Matches(g.Version, "^[0-9]+:[0-9]+$")) {
    error = "\"version\" is not <seconds>:<nanoseconds>";
    return false;
  }
  g.Label = doc["label"].get<std::string>();
  if (!doc.contains("tags") || !doc["tags"].is_object()) {
    error = "\"tags\" is missing or not an object";
    return false;
  }
  for (const auto& tag : doc["tags"].items()) {
    bool ok = tag.value().is_array();
    if (ok)
      for (const json& v : tag.value())
        ok = ok && v.is_string();
    if (!ok) {
      error = "a tag is not an array of strings";
      return false;
    }
  }
  if (!doc.contains("is04") || !doc["is04"].is_object() || !doc["is04"].contains("heartbeat_interval") ||
      !WholeNumber(doc["is04"]["heartbeat_interval"], 1, 1000, g.HeartbeatInterval)) {
    error = "\"is04\".heartbeat_interval is missing or not a whole number from 1 to 1000";
    return false;
  }
  if (!doc.contains("ptp") || !doc["ptp"].is_object()) {
    error = "\"ptp\" is missing or not an object";
    return false;
  }
  const json& ptp = doc["ptp"];
  if (!ptp.contains("announce_receipt_timeout") ||
      !WholeNumber(ptp["announce_receipt_timeout"], 2, 10, g.PTPAnnounceTimeout)) {
    error = "\"ptp\".announce_receipt_timeout is missing or not a whole number from 2 to 10";
    return false;
  }
  if (!ptp.contains("domain_number") || !WholeNumber(ptp["domain_number"], 0, 127, g.PTPDomain)) {
    error = "\"ptp\".domain_number is missing or not a whole number from 0 to 127";
    return false;
  }
  if (!ReadTarget(doc, "syslog", 514, g.Syslog, error) ||
      !ReadTarget(doc, "syslogv2", 6514, g.SyslogV2, error))
    return false;
  out = g;
  return true;
}

} // namespace Qel_nmos_bridge
