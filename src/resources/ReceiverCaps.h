// What the device's receivers can take, as their IS-04 "caps" say it (media types, and constraint
// sets as controllers read them, BCP-004-01), and whether a stream is one of those. The receivers take
// linear PCM as AES67 carries it (L16, L20, L24) at the device's sampling rate; the firmware states no
// channel count or packet time that a receive stream is limited to, so neither is constrained.
#pragma once

#include "Types.h"

#include <cstdint>
#include <functional>
#include <string>

namespace Qel_nmos_bridge {

// What a stream is, as far as capabilities judge it; what its description does not state is unknown.
struct TStreamFormat {
  // IANA media type ("audio/L24"); only the kind and a slash ("video/") when the encoding is not
  // known, "" when nothing is.
  std::string MediaType;
  int64_t SampleRateNumerator = 0; // 0 unknown
  int64_t SampleRateDenominator = 1;
  int64_t Channels = 0; // 0 unknown

  // "audio/L24, 48000 Hz, 2 channels", what is known of it.
  std::string Text() const;
};

// The receivers' "caps" without their "version": the media types they take and one constraint set
// of those at `sampleRate` (0: not known yet, the rate is left unconstrained).
json BuildReceiverCaps(int64_t sampleRate);

// The caps to publish: `caps` with the "version" of `stored` while nothing else of them changed,
// else with a fresh version, which `stamp` gives.
json VersionedCaps(json caps, const json& stored, const std::function<std::string()>& stamp);

// True when the stream satisfies `caps`: one of its media types, and any one of its enabled constraint
// sets. What the stream does not state, and a constraint this node does not know, exclude nothing.
// Otherwise `why` says what excludes the stream.
bool CapsAdmit(const json& caps, const TStreamFormat& stream, std::string& why);

// The format of a flow whose source is `source`, as their IS-04 documents describe it.
TStreamFormat FlowFormat(const json& flow, const json& source);

} // namespace Qel_nmos_bridge
