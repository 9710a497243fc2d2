// Transport files (SDP) as controllers stage them and as other nodes serve them: what the node reads
// from one must be what the rest of the node can take. The receiver parameters are the three IS-05 names
// with values a receiver may be staged with; the stream's format is not negative; a grandmaster is an
// IS-04 clock identity; the session name (which becomes a stream's name) is one line.
#include "FuzzBridge.h"
#include "HostAddress.h"
#include "SenderSDP.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace Qel_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string sdp(reinterpret_cast<const char*>(data), size);

  const json params = SDPReceiverParams(sdp);
  if (!params.is_object()) Broken("the receiver parameters are not an object");
  for (auto it = params.begin(); it != params.end(); ++it) {
    const json& value = *it;
    if (it.key() == "destination_port") {
      if (!value.is_number_integer() || value.get<int64_t>() < 1 || value.get<int64_t>() > 65535)
        Broken("a destination port out of range: " + value.dump());
    } else if (it.key() == "multicast_ip") {
      if (!value.is_null() && !(value.is_string() && THostAddress(value.get<std::string>()).IsMulticast()))
        Broken("a multicast_ip that is not a multicast address: " + value.dump());
    } else if (it.key() == "source_ip") {
      if (!value.is_string() || THostAddress(value.get<std::string>()).IsNull())
        Broken("a source_ip that is not an address: " + value.dump());
    } else {
      Broken("an unknown receiver parameter " + it.key());
    }
  }
  (void)params.dump(-1, ' ', false, json::error_handler_t::strict);

  const TStreamFormat format = SDPStreamFormat(sdp);
  if (format.SampleRateNumerator < 0 || format.SampleRateDenominator < 1 || format.Channels < 0)
    Broken("a negative rate or channel count");
  if (!format.MediaType.empty() && format.MediaType.find('/') == std::string::npos)
    Broken("a media type without a slash: " + format.MediaType);
  (void)format.Text();

  const std::string gmid = SDPPTPGrandmaster(sdp);
  if (!gmid.empty()) {
    if (gmid.size() != 23) Broken("a grandmaster of another length: " + gmid);
    for (size_t i = 0; i < gmid.size(); ++i)
      if (i % 3 == 2 ? gmid[i] != '-'
                     : !(isdigit(static_cast<unsigned char>(gmid[i])) || (gmid[i] >= 'a' && gmid[i] <= 'f')))
        Broken("a grandmaster that is not a clock identity: " + gmid);
  }

  const std::string session = SDPSessionName(sdp);
  if (session.find('\n') != std::string::npos) Broken("a session name of more than one line");
  return 0;
}
