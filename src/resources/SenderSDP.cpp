#include "SenderSDP.h"

#include "HostAddress.h"
#include "HostNameResolver.h"
#include "helpers.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace Qel_nmos_bridge {

namespace {

// The lines of an SDP text, without their line ends.
std::vector<std::string> Lines(const std::string& sdp) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < sdp.size()) {
    size_t end = sdp.find('\n', start);
    if (end == std::string::npos) end = sdp.size();
    std::string line = sdp.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// The rest of the first line that starts with prefix, without its line end; "" when there is none.
std::string LineAfter(const std::string& sdp, const char* prefix) {
  const size_t length = strlen(prefix);
  for (const std::string& line : Lines(sdp))
    if (line.compare(0, length, prefix) == 0) return line.substr(length);
  return std::string();
}

// A whole text of 1 to 9 decimal digits as a number; 0 for anything else.
int64_t Decimal(const std::string& text) {
  if (text.empty() || text.size() > 9) return 0;
  int64_t value = 0;
  for (const char ch : text) {
    if (!isdigit(static_cast<unsigned char>(ch))) return 0;
    value = value * 10 + (ch - '0');
  }
  return value;
}

// "ENCODING/RATE[/CHANNELS]" of an rtpmap line; a count of audio channels left out is one.
void ReadRTPMap(const std::string& map, TStreamFormat& format, const std::string& media) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    const size_t slash = map.find('/', start);
    parts.push_back(map.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (parts.size() < 2 || parts[0].empty()) return;
  format.MediaType = media + "/" + parts[0];
  format.SampleRateNumerator = Decimal(parts[1]);
  if (media == "audio") format.Channels = parts.size() == 2 ? 1 : Decimal(parts[2]);
}

} // namespace

TStreamFormat SDPStreamFormat(const std::string& sdp) {
  TStreamFormat format;
  const std::vector<std::string> lines = Lines(sdp);
  size_t i = 0;
  while (i < lines.size() && lines[i].compare(0, 2, "m=") != 0)
    ++i;
  if (i == lines.size()) return format;
  // "m=MEDIA PORT PROTO FMT ..."
  std::vector<std::string> fields;
  const std::string& m = lines[i];
  for (size_t start = 2; start <= m.size();) {
    size_t end = m.find(' ', start);
    if (end == std::string::npos) end = m.size();
    if (end > start) fields.push_back(m.substr(start, end - start));
    start = end + 1;
  }
  if (fields.empty()) return format;
  const std::string& media = fields[0];
  format.MediaType = media + "/";
  if (fields.size() < 4) return format;
  const std::string& payload = fields[3];
  const std::string prefix = "a=rtpmap:" + payload + " ";
  for (++i; i < lines.size() && lines[i].compare(0, 2, "m=") != 0; ++i)
    if (lines[i].compare(0, prefix.size(), prefix) == 0) {
      ReadRTPMap(lines[i].substr(prefix.size()), format, media);
      return format;
    }
  // RTP's static audio types of linear PCM (RFC 3551): 10 is L16 stereo, 11 L16 mono, at 44.1 kHz.
  if (media == "audio" && (payload == "10" || payload == "11")) {
    format.MediaType = "audio/L16";
    format.SampleRateNumerator = 44100;
    format.Channels = payload == "10" ? 2 : 1;
  }
  return format;
}

std::string SDPSessionName(const std::string& sdp) {
  return LineAfter(sdp, "s=");
}

nlohmann::json SDPReceiverParams(const std::string& sdp) {
  nlohmann::json params = nlohmann::json::object();
  // "m=audio PORT RTP/AVP ..."
  const std::string media = LineAfter(sdp, "m=");
  const size_t space = media.find(' ');
  if (space != std::string::npos) {
    const long port = strtol(media.c_str() + space + 1, nullptr, 10);
    if (port >= 1 && port <= 65535) params["destination_port"] = static_cast<int>(port);
  }
  // "c=IN IP4 ADDRESS[/TTL[/COUNT]]"
  std::string connection = LineAfter(sdp, "c=IN IP4 ");
  connection = connection.substr(0, connection.find('/'));
  const THostAddress group(connection);
  if (!connection.empty() && !group.IsNull())
    params["multicast_ip"] = group.IsMulticast() ? nlohmann::json(connection) : nlohmann::json(nullptr);
  // "a=source-filter: incl IN IP4 DESTINATION SOURCE"
  const std::string filter = LineAfter(sdp, "a=source-filter: incl IN IP4 ");
  const size_t gap = filter.find(' ');
  if (gap != std::string::npos) {
    const std::string source = filter.substr(gap + 1, filter.find(' ', gap + 1) - gap - 1);
    if (!THostAddress(source).IsNull()) params["source_ip"] = source;
  }
  return params;
}

std::string SDPPTPGrandmaster(const std::string& sdp) {
  // VERSION:GMID[:DOMAIN]
  const std::string clock = LineAfter(sdp, "a=ts-refclk:ptp=");
  const size_t colon = clock.find(':');
  if (colon == std::string::npos) return std::string();
  std::string gmid = clock.substr(colon + 1, 23);
  if (gmid.size() != 23) return std::string();
  for (size_t i = 0; i < gmid.size(); ++i) {
    const char c = static_cast<char>(tolower(static_cast<unsigned char>(gmid[i])));
    const bool ok = i % 3 == 2 ? c == '-' : isxdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return std::string();
    gmid[i] = c;
  }
  if (clock.size() > colon + 24 && clock[colon + 24] != ':') return std::string();
  return gmid;
}

TSenderSDPFetcher::TSenderSDPFetcher(uv_loop_t* loop, const Qel_http::TTLSClientSettings& tls,
                                     IQELHostNameResolver* names)
    : Client(Qel_http::IQELCurlWrapper::Create(this, loop),
             [](Qel_http::IQELCurlWrapper* c) { c->Destroy(); }),
      Names(names) {
  Client->SetTLS(tls);
}

TSenderSDPFetcher::~TSenderSDPFetcher() {
  for (auto& [id, fetch] : Pending)
    if (fetch.Lookup && Names) Names->CancelHostName(fetch.Lookup);
  Client->Terminate();
}

bool TSenderSDPFetcher::Fetch(const std::string& url, TDone done) {
  if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) return false;
  const uintptr_t id = Next++;
  Pending[id] = {url, std::move(done), 0};
  std::string host;
  uint16_t port = 0;
  if (Names && Qel_http::URLHostPort(url, host, port) && IsMulticastDNSHost(host)) {
    const uint64_t lookup = Names->ResolveHostName(host, [this, id, host, port](const std::string& address) {
      OnHostResolved(id, host, port, address);
    });
    if (lookup) {
      Pending[id].Lookup = lookup;
      return true;
    }
    // No Avahi daemon to ask: the system's resolver may know the name.
  }
  if (Request(id)) return true;
  Pending.erase(id);
  return false;
}

bool TSenderSDPFetcher::Request(uintptr_t id) {
  return Client->HTTP_Request(this, Pending[id].URL.c_str(), "GET", "", "", reinterpret_cast<void*>(id));
}

void TSenderSDPFetcher::OnHostResolved(uintptr_t id, const std::string& host, uint16_t port,
                                       const std::string& address) {
  auto it = Pending.find(id);
  if (it == Pending.end()) return;
  it->second.Lookup = 0;
  if (address.empty()) {
    lws_log(QLLL_ERR, "Transport file %s: cannot resolve %s by multicast DNS", it->second.URL.c_str(),
            host.c_str());
    Pending.erase(it);
    return;
  }
  // The request takes the pin when it is made: none is left behind for later ones, which look the name
  // up again.
  Client->Pin(host, port, address);
  const bool made = Request(id);
  Client->Unpin(host, port);
  if (made) return;
  lws_log(QLLL_ERR, "Transport file %s: the request to %s could not be made", it->second.URL.c_str(),
          address.c_str());
  Pending.erase(id);
}

void TSenderSDPFetcher::OnCurlSuccess(void* Data, int Result, const char* Response) {
  auto it = Pending.find(reinterpret_cast<uintptr_t>(Data));
  if (it == Pending.end()) return;
  const std::string url = std::move(it->second.URL);
  const TDone done = std::move(it->second.Done);
  Pending.erase(it);
  if (Result != 200) {
    lws_log(QLLL_ERR, "Transport file %s answered %d", url.c_str(), Result);
    return;
  }
  done(Response ? Response : "");
}

void TSenderSDPFetcher::OnCurlError(void* Data, int, const char* Message) {
  auto it = Pending.find(reinterpret_cast<uintptr_t>(Data));
  if (it == Pending.end()) return;
  lws_log(QLLL_ERR, "Transport file %s: %s", it->second.URL.c_str(), Message ? Message : "");
  Pending.erase(it);
}

} // namespace Qel_nmos_bridge
