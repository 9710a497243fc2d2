#include "SenderSDP.h"

#include "helpers.h"

namespace Qel_nmos_bridge {

std::string SDPSessionName(const std::string& sdp) {
  size_t start = 0;
  while (start < sdp.size()) {
    size_t end = sdp.find('\n', start);
    if (end == std::string::npos) end = sdp.size();
    std::string line = sdp.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 2, "s=") == 0) return line.substr(2);
    start = end + 1;
  }
  return std::string();
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
