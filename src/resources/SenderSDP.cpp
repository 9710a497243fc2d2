#include "SenderSDP.h"

#include "HostAddress.h"
#include "helpers.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace Qel_nmos_bridge {

namespace {

// The rest of the first line that starts with prefix, without its line end; "" when there is none.
std::string LineAfter(const std::string& sdp, const char* prefix) {
  const size_t length = strlen(prefix);
  size_t start = 0;
  while (start < sdp.size()) {
    size_t end = sdp.find('\n', start);
    if (end == std::string::npos) end = sdp.size();
    std::string line = sdp.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, length, prefix) == 0) return line.substr(length);
    start = end + 1;
  }
  return std::string();
}

} // namespace

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

TSenderSDPFetcher::TSenderSDPFetcher(uv_loop_t* loop)
    : Client(Qel_http::IQELCurlWrapper::Create(this, loop),
             [](Qel_http::IQELCurlWrapper* c) { c->Destroy(); }) {}

TSenderSDPFetcher::~TSenderSDPFetcher() {
  Client->Terminate();
}

bool TSenderSDPFetcher::Fetch(const std::string& url, TDone done) {
  if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) return false;
  const uintptr_t id = Next++;
  Pending[id] = {url, std::move(done)};
  if (Client->HTTP_Request(this, url.c_str(), "GET", "", "", reinterpret_cast<void*>(id))) return true;
  Pending.erase(id);
  return false;
}

void TSenderSDPFetcher::OnCurlSuccess(void* Data, int Result, const char* Response) {
  auto it = Pending.find(reinterpret_cast<uintptr_t>(Data));
  if (it == Pending.end()) return;
  auto [url, done] = std::move(it->second);
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
  lws_log(QLLL_ERR, "Transport file %s: %s", it->second.first.c_str(), Message ? Message : "");
  Pending.erase(it);
}

} // namespace Qel_nmos_bridge
