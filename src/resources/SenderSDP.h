// Transport files of senders this node does not know: a controller that connects a receiver to such a
// sender hands over the sender's manifest URL, and the SDP behind it names the stream (its session
// name, as AES67 announcements carry it) that the firmware is asked to follow.
#pragma once

#include "HTTP_API.h"
#include "ReceiverCaps.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace Qel_nmos_bridge {

class IQELHostNameResolver;

// The session name ("s=") of an SDP text, "" when it has none.
std::string SDPSessionName(const std::string& sdp);
// The RTP receiver parameters of the first media description of an SDP text, as IS-05 names them:
// "multicast_ip" (the connection address when it is a multicast one, else null), "source_ip" (the
// source filter's source, else the unicast connection address's origin, else null) and
// "destination_port" (the media port); members the SDP does not give are left out.
nlohmann::json SDPReceiverParams(const std::string& sdp);
// The format of the first media description of an SDP text: its media type ("m=" and the "a=rtpmap"
// of its first payload type, or RTP's static L16 types), clock rate and channel count (one when the
// rtpmap names none); what the SDP does not give stays unknown.
TStreamFormat SDPStreamFormat(const std::string& sdp);
// The PTP grandmaster of the first "a=ts-refclk:ptp=VERSION:GMID" line, as IS-04 writes clock
// identities ("02-4d-51-ff-fe-3a-7c-18"); "" when the SDP names none (or only "traceable").
std::string SDPPTPGrandmaster(const std::string& sdp);

class TSenderSDPFetcher : public Qel_http::IQELCurlWrapperClient {
public:
  using TDone = std::function<void(const std::string& sdp)>;

  // Transport files over https are checked as `tls` says (the CAs; TLS 1.2 at least, host names).
  // Multicast DNS names ("sender-host.local") are looked up through `names` (on the same loop; it
  // outlives the fetcher), then fetched at the address found under their name; without it, or when it
  // cannot look names up, they go to the system's resolver as every other host does.
  TSenderSDPFetcher(uv_loop_t* loop, const Qel_http::TTLSClientSettings& tls,
                    IQELHostNameResolver* names = nullptr);
  ~TSenderSDPFetcher() override;
  TSenderSDPFetcher(const TSenderSDPFetcher&) = delete;
  TSenderSDPFetcher& operator=(const TSenderSDPFetcher&) = delete;

  // Fetches an http(s) URL; `done` runs on the loop with the body of a 200 answer, never otherwise
  // (and never after the fetcher is gone).
  bool Fetch(const std::string& url, TDone done);
  // Fetches (and lookups) under way.
  size_t Running() const { return Pending.size(); }

  void OnCurlSuccess(void* Data, int Result, const char* Response) override;
  void OnCurlError(void* Data, int Result, const char* Message) override;

private:
  struct TFetch {
    std::string URL;
    TDone Done;
    uint64_t Lookup = 0; // the running lookup of the URL's host, 0 once the request is made
  };
  bool Request(uintptr_t id);
  void OnHostResolved(uintptr_t id, const std::string& host, uint16_t port, const std::string& address);

  std::unique_ptr<Qel_http::IQELCurlWrapper, void (*)(Qel_http::IQELCurlWrapper*)> Client;
  IQELHostNameResolver* Names;
  std::map<uintptr_t, TFetch> Pending;
  uintptr_t Next = 1;
};

} // namespace Qel_nmos_bridge
