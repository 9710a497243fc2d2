#include "ReceiverCaps.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace Qel_nmos_bridge {

namespace {

const char* const MediaTypes[] = {"audio/L16", "audio/L20", "audio/L24"};
const char* const CapMediaType = "urn:x-nmos:cap:format:media_type";
const char* const CapSampleRate = "urn:x-nmos:cap:format:sample_rate";
const char* const CapChannelCount = "urn:x-nmos:cap:format:channel_count";
const char* const CapLabel = "urn:x-nmos:cap:meta:label";
const char* const CapEnabled = "urn:x-nmos:cap:meta:enabled";
const char* const CapPreference = "urn:x-nmos:cap:meta:preference";
const char* const MetaPrefix = "urn:x-nmos:cap:meta:";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char ch) { return static_cast<char>(tolower(ch)); });
  return text;
}

// Media types compare without regard to case; a type known only by its kind ("audio/") matches every
// type of that kind.
bool SameMediaType(const std::string& known, const json& allowed) {
  if (!allowed.is_string()) return false;
  const std::string a = Lower(known), b = Lower(allowed.get<std::string>());
  if (!a.empty() && a.back() == '/') return b.compare(0, a.size(), a) == 0;
  return a == b;
}

// A rational as IS-04 writes it ({"numerator", "denominator" = 1}); false for anything else.
bool Rational(const json& value, int64_t& numerator, int64_t& denominator) {
  if (!value.is_object() || !value.contains("numerator") || !value["numerator"].is_number_integer())
    return false;
  numerator = value["numerator"].get<int64_t>();
  denominator = 1;
  if (value.contains("denominator")) {
    if (!value["denominator"].is_number_integer()) return false;
    denominator = value["denominator"].get<int64_t>();
  }
  if (denominator == 0) return false;
  if (denominator < 0) numerator = -numerator, denominator = -denominator;
  return true;
}

// a/b against c/d by cross-multiplication (denominators positive): <0, 0, >0. Sampling rates and
// their denominators stay far below 2^31, so the products fit.
int CompareRational(int64_t a, int64_t b, int64_t c, int64_t d) {
  const int64_t left = a * d, right = c * b;
  return left < right ? -1 : left > right ? 1 : 0;
}

bool RationalSatisfies(const json& constraint, int64_t n, int64_t d) {
  int64_t cn = 0, cd = 1;
  if (constraint.contains("enum")) {
    bool any = false;
    for (const json& allowed : constraint["enum"])
      any = any || (Rational(allowed, cn, cd) && CompareRational(n, d, cn, cd) == 0);
    if (!any) return false;
  }
  if (constraint.contains("minimum") && Rational(constraint["minimum"], cn, cd) &&
      CompareRational(n, d, cn, cd) < 0)
    return false;
  if (constraint.contains("maximum") && Rational(constraint["maximum"], cn, cd) &&
      CompareRational(n, d, cn, cd) > 0)
    return false;
  return true;
}

bool IntegerSatisfies(const json& constraint, int64_t value) {
  if (constraint.contains("enum")) {
    const json& allowed = constraint["enum"];
    if (!allowed.is_array() || std::find(allowed.begin(), allowed.end(), json(value)) == allowed.end())
      return false;
  }
  if (constraint.contains("minimum") && constraint["minimum"].is_number() && value < constraint["minimum"])
    return false;
  if (constraint.contains("maximum") && constraint["maximum"].is_number() && value > constraint["maximum"])
    return false;
  return true;
}

bool MediaTypeSatisfies(const json& constraint, const std::string& mediaType) {
  if (!constraint.contains("enum")) return true;
  const json& allowed = constraint["enum"];
  return allowed.is_array() && std::any_of(allowed.begin(), allowed.end(), [&](const json& entry) {
           return SameMediaType(mediaType, entry);
         });
}

// One parameter constraint; a parameter the stream does not state, or a constraint unknown here,
// is satisfied.
bool ParamSatisfies(const std::string& urn, const json& constraint, const TStreamFormat& stream) {
  if (!constraint.is_object()) return true;
  if (urn == CapMediaType)
    return stream.MediaType.empty() || MediaTypeSatisfies(constraint, stream.MediaType);
  if (urn == CapSampleRate)
    return stream.SampleRateNumerator == 0 ||
           RationalSatisfies(constraint, stream.SampleRateNumerator, stream.SampleRateDenominator);
  if (urn == CapChannelCount) return stream.Channels == 0 || IntegerSatisfies(constraint, stream.Channels);
  return true;
}

bool SetSatisfied(const json& set, const TStreamFormat& stream) {
  if (!set.is_object()) return false;
  if (set.contains(CapEnabled) && set[CapEnabled] == false) return false; // offline: not now
  for (auto it = set.begin(); it != set.end(); ++it)
    if (it.key().compare(0, strlen(MetaPrefix), MetaPrefix) != 0 && !ParamSatisfies(it.key(), *it, stream))
      return false;
  return true;
}

} // namespace

std::string TStreamFormat::Text() const {
  std::string text = MediaType.empty() ? "an unknown media type" : MediaType;
  if (SampleRateNumerator != 0)
    text += ", " + std::to_string(SampleRateNumerator) +
            (SampleRateDenominator != 1 ? "/" + std::to_string(SampleRateDenominator) : "") + " Hz";
  if (Channels != 0) text += ", " + std::to_string(Channels) + (Channels == 1 ? " channel" : " channels");
  return text;
}

json BuildReceiverCaps(int64_t sampleRate) {
  json mediaTypes = json::array();
  for (const char* type : MediaTypes)
    mediaTypes.push_back(type);
  json set = {{CapLabel, sampleRate > 0 ? "L16, L20 or L24 at " + std::to_string(sampleRate) + " Hz"
                                        : std::string("L16, L20 or L24")},
              // The one set the receivers have: it applies now, and there is no other to prefer it to.
              {CapEnabled, true},
              {CapPreference, 0},
              {CapMediaType, {{"enum", mediaTypes}}}};
  if (sampleRate > 0) set[CapSampleRate] = {{"enum", json::array({{{"numerator", sampleRate}}})}};
  return {{"media_types", mediaTypes}, {"constraint_sets", json::array({set})}};
}

json VersionedCaps(json caps, const json& stored, const std::function<std::string()>& stamp) {
  json before = stored.is_object() ? stored : json::object();
  const json version = before.contains("version") ? before["version"] : json();
  before.erase("version");
  caps.erase("version");
  caps["version"] = before == caps && version.is_string() ? version : json(stamp());
  return caps;
}

bool CapsAdmit(const json& caps, const TStreamFormat& stream, std::string& why) {
  if (!caps.is_object()) return true;
  if (caps.contains("media_types") && caps["media_types"].is_array() && !stream.MediaType.empty()) {
    const json& types = caps["media_types"];
    if (std::none_of(types.begin(), types.end(),
                     [&](const json& type) { return SameMediaType(stream.MediaType, type); })) {
      why = "the receiver takes " + types.dump() + ", not " + stream.Text();
      return false;
    }
  }
  if (!caps.contains("constraint_sets")) return true;
  const json& sets = caps["constraint_sets"];
  if (sets.is_array())
    for (const json& set : sets)
      if (SetSatisfied(set, stream)) return true;
  json labels = json::array();
  if (sets.is_array())
    for (const json& set : sets)
      if (set.is_object() && set.contains(CapLabel)) labels.push_back(set[CapLabel]);
  why = "the receiver's capabilities exclude " + stream.Text() + " (it takes " +
        (labels.empty() ? std::string("none of it") : labels.dump()) + ")";
  return false;
}

TStreamFormat FlowFormat(const json& flow, const json& source) {
  TStreamFormat format;
  if (flow.is_object() && flow.contains("media_type") && flow["media_type"].is_string())
    format.MediaType = flow["media_type"].get<std::string>();
  int64_t n = 0, d = 1;
  if (flow.is_object() && flow.contains("sample_rate") && Rational(flow["sample_rate"], n, d) && n > 0) {
    format.SampleRateNumerator = n;
    format.SampleRateDenominator = d;
  }
  if (source.is_object() && source.contains("channels") && source["channels"].is_array())
    format.Channels = static_cast<int64_t>(source["channels"].size());
  return format;
}

} // namespace Qel_nmos_bridge
