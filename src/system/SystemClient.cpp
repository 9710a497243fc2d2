#include "SystemClient.h"

#include "HTTP_API.h"
#include "NMOSBridgeConfig.h"
#include "NMOSBridge_API.h"
#include "NMOSRegClient.h"
#include "Syslog.h"
#include "SystemGlobal.h"
#include "Threaded_API.h"
#include "helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace Qel_nmos_bridge {

namespace {

const char* const GlobalPath = "/x-nmos/system/v1.0/global";
const char* const StaticName = "/system";
// An answer has this long; then the next System API is asked.
constexpr uint64_t DeadlineMs = 3000;
// After every System API failed, the next round waits this long, doubling up to the most (or to the
// refresh interval, when that is shorter).
constexpr uint64_t BackoffFirstMs = 1000;
constexpr uint64_t BackoffMaxMs = 60000;

// A text from the network made fit for a log line.
std::string Printable(const std::string& text, size_t max = 200) {
  std::string out = text.substr(0, max);
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

struct TCandidate {
  std::string Name;
  std::string URL;  // of the global resource
  std::string Host; // the host name in the URL, pinned to Addr (empty: the URL names the address)
  std::string Addr;
  uint16_t Port = 0;
  int Prio = 0;       // the "/system" URL goes before every discovered one
  uint32_t Order = 0; // random: the choice among equal priorities
  bool SameAs(const TCandidate& o) const {
    return URL == o.URL && Host == o.Host && Addr == o.Addr && Port == o.Port && Prio == o.Prio;
  }
};

std::string HostInURL(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// "/system URL": http(s)://HOST[:PORT][/PREFIX], where the System API's paths follow the prefix (a URL that
// already goes on to "/x-nmos/system..." is cut there). Empty when it is no such URL.
std::string StaticGlobalURL(const std::string& url, bool secure, std::string& why) {
  std::string host;
  uint16_t port = 0;
  if (!Qel_http::URLHostPort(url, host, port)) {
    why = "an http or https URL expected";
    return std::string();
  }
  const size_t scheme = url.find("://");
  if (secure && url.compare(0, scheme, "https") != 0) {
    why = "the node uses https only";
    return std::string();
  }
  std::string rest = url.substr(scheme + 3);
  const size_t slash = rest.find('/');
  std::string path = slash == std::string::npos ? std::string() : rest.substr(slash);
  const std::string authority = rest.substr(0, slash);
  if (path.find_first_of("?#") != std::string::npos) {
    why = "a URL without query or fragment expected";
    return std::string();
  }
  const size_t api = path.find("/x-nmos/");
  if (api != std::string::npos) path.erase(api);
  while (!path.empty() && path.back() == '/')
    path.pop_back();
  return url.substr(0, scheme + 3) + authority + path + GlobalPath;
}

// A pending lookup of the syslog collector's name, freed by its callback (which may come after the
// client is gone: then Owner is null).
class TQELSystemClient;
struct TLookup {
  uv_getaddrinfo_t Req;
  TQELSystemClient* Owner;
};

class TQELSystemClient : public IQELSystemClient, public Qel_http::IQELCurlWrapperClient {
public:
  explicit TQELSystemClient(IQELNMOSBridge* bridge)
      : Bridge(bridge), Loop(bridge->ServiceHost().Loop()),
        HTTP(Qel_http::IQELCurlWrapper::Create(this, Loop),
             [](Qel_http::IQELCurlWrapper* c) { c->Destroy(); }),
        Random(static_cast<uint32_t>(time(nullptr)) ^ static_cast<uint32_t>(getpid())) {
    const IQELNMOSConfig* config = bridge->BoxConfig();
    Secure = config && config->Secure();
    // The global configuration is fetched again this often while one answers.
    if (config) RefreshMs = config->GetSystemRefresh() * 1000ULL;
    Qel_http::TTLSClientSettings tls;
    tls.HTTPSOnly = Secure;
    if (config) tls.CAFile = config->GetTLSCAFile();
    HTTP->SetTLS(tls);
    FetchTimer = NewTimer();
    DeadlineTimer = NewTimer();
    TSyslogForwarder::Instance(); // the log function forwards from now on
    if (config && !config->GetSystemAPI().empty()) {
      std::string why;
      TCandidate c;
      c.Name = StaticName;
      c.URL = StaticGlobalURL(config->GetSystemAPI(), Secure, why);
      c.Prio = -1;
      if (c.URL.empty())
        lws_log(QLLL_WARN, "/system %s ignored: %s", config->GetSystemAPI().c_str(), why.c_str());
      else
        Add(c);
    }
  }
  ~TQELSystemClient() override {
    HTTP->Terminate();
    if (Lookup) {
      Lookup->Owner = nullptr;
      uv_cancel(reinterpret_cast<uv_req_t*>(&Lookup->Req));
    }
    CloseTimer(FetchTimer);
    CloseTimer(DeadlineTimer);
    if (SyslogApplied) TSyslogForwarder::Instance().ClearTarget();
  }
  TQELSystemClient(const TQELSystemClient&) = delete;
  TQELSystemClient& operator=(const TQELSystemClient&) = delete;

  void Destroy() override { delete this; }

  void AddSystemAPI(const std::string& name, const std::string& address, uint16_t port,
                    const std::string& host, uint16_t prio) override {
    if (name.empty() || name == StaticName || address.empty()) return;
    TCandidate c;
    c.Name = name;
    c.Addr = address;
    c.Port = port;
    c.Host = host == address ? std::string() : host;
    c.Prio = prio;
    c.URL = std::string(Secure ? "https" : "http") + "://" + HostInURL(c.Host.empty() ? address : c.Host) +
            ":" + std::to_string(port) + GlobalPath;
    Add(c);
  }

  void DelSystemAPI(const std::string& name) override {
    if (name == StaticName) return;
    auto it = std::find_if(Candidates.begin(), Candidates.end(),
                           [&](const TCandidate& c) { return c.Name == name; });
    if (it == Candidates.end()) return;
    lws_log(QLLL_NOTICE, "System API %s removed", Printable(name).c_str());
    if (!it->Host.empty()) HTTP->Unpin(it->Host, it->Port);
    Candidates.erase(it);
    Errors.erase(name);
    Changed();
  }

  void UpdateStats(const char* section, json& stats) override {
    json s = json::object();
    s["KnownAPIs"] = json::array();
    for (const TCandidate& c : Sorted())
      s["KnownAPIs"].push_back(c.URL);
    s["API"] = InUse.empty() ? json(nullptr) : json(InUse);
    s["Fetching"] = Trying.empty() ? json(nullptr) : json(Trying);
    if (HaveGlobal) {
      s["ID"] = Global.ID;
      s["Version"] = Global.Version;
      s["Label"] = Global.Label;
      s["PTPDomain"] = Global.PTPDomain;
      s["PTPAnnounceReceiptTimeout"] = Global.PTPAnnounceTimeout;
    } else {
      s["ID"] = nullptr;
    }
    s["HeartbeatInterval"] = Bridge->RegClient().HeartbeatInterval();
    s["Syslog"] = SyslogText(Global.Syslog);
    s["SyslogState"] = SyslogState;
    s["SyslogV2"] = Global.SyslogV2.Host.empty()
                        ? json(nullptr)
                        : json(SyslogText(Global.SyslogV2).get<std::string>() + " (TLS transport: not used)");
    s["SyslogSent"] = TSyslogForwarder::Instance().Sent();
    s["SyslogFailed"] = TSyslogForwarder::Instance().Failed();
    s["IDChanges"] = IDChanges;
    s["PreviousID"] = PreviousID.empty() ? json(nullptr) : json(PreviousID);
    s["Fetches"] = Fetches;
    s["LastError"] = LastError.empty() ? json(nullptr) : json(LastError);
    stats[section] = std::move(s);
  }

  void OnCurlSuccess(void* Data, int Result, const char* Response) override {
    if (reinterpret_cast<uintptr_t>(Data) != RequestID || Trying.empty()) return;
    uv_timer_stop(DeadlineTimer);
    const std::string name = Trying;
    Trying.clear();
    if (Result != 200) {
      Fail(name, "HTTP status " + std::to_string(Result));
      return;
    }
    TSystemGlobal g;
    std::string why;
    if (!ParseSystemGlobal(Response ? Response : "", g, why)) {
      Fail(name, "invalid global configuration: " + why);
      return;
    }
    Apply(name, g);
  }

  void OnCurlError(void* Data, int Result, const char* Message) override {
    if (reinterpret_cast<uintptr_t>(Data) != RequestID || Trying.empty()) return;
    uv_timer_stop(DeadlineTimer);
    const std::string name = Trying;
    Trying.clear();
    Fail(name, std::string(Message ? Message : "transfer failed") + " (" + std::to_string(Result) + ")");
  }

  void OnLookup(TLookup* lookup, int status, addrinfo* res) {
    if (lookup != Lookup) return;
    Lookup = nullptr;
    if (status != 0 || !res) {
      SyslogState = "cannot resolve " + Printable(LookupHost) + ": " + uv_strerror(status);
      lws_log(QLLL_WARN, "Syslog: %s", SyslogState.c_str());
      return;
    }
    SetSyslogAddress(res->ai_addr, static_cast<socklen_t>(res->ai_addrlen));
  }

private:
  uv_timer_t* NewTimer() {
    auto* t = new uv_timer_t;
    uv_timer_init(Loop, t);
    t->data = this;
    return t;
  }
  static void CloseTimer(uv_timer_t* t) {
    uv_timer_stop(t);
    uv_close(reinterpret_cast<uv_handle_t*>(t),
             [](uv_handle_t* h) { delete reinterpret_cast<uv_timer_t*>(h); });
  }

  void Add(TCandidate c) {
    auto it = std::find_if(Candidates.begin(), Candidates.end(),
                           [&](const TCandidate& o) { return o.Name == c.Name; });
    if (it != Candidates.end() && it->SameAs(c)) return; // a re-resolution that tells nothing new
    lws_log(QLLL_NOTICE, "System API %s at %s (priority %d)", Printable(c.Name).c_str(), c.URL.c_str(),
            c.Prio);
    if (!c.Host.empty()) HTTP->Pin(c.Host, c.Port, c.Addr);
    if (it != Candidates.end()) {
      c.Order = it->Order;
      *it = c;
    } else {
      if (Candidates.size() >= MaxCandidates) return;
      c.Order = static_cast<uint32_t>(Random());
      Candidates.push_back(c);
    }
    Changed();
  }
  static constexpr size_t MaxCandidates = 100;

  std::vector<TCandidate> Sorted() const {
    std::vector<TCandidate> list = Candidates;
    std::stable_sort(list.begin(), list.end(), [](const TCandidate& a, const TCandidate& b) {
      return a.Prio != b.Prio ? a.Prio < b.Prio : a.Order < b.Order;
    });
    return list;
  }

  // The candidates changed: a new round starts at once, from the most preferred.
  void Changed() {
    if (!Trying.empty()) {
      HTTP->Cancel(reinterpret_cast<void*>(RequestID));
      uv_timer_stop(DeadlineTimer);
      Trying.clear();
    }
    Tried.clear();
    Backoff = BackoffFirstMs;
    Schedule(0);
  }

  void Schedule(uint64_t ms) {
    uv_timer_start(
        FetchTimer, [](uv_timer_t* t) { static_cast<TQELSystemClient*>(t->data)->FetchNext(); }, ms, 0);
  }

  void FetchNext() {
    if (!Trying.empty()) return;
    const TCandidate* next = nullptr;
    const std::vector<TCandidate> list = Sorted();
    for (const TCandidate& c : list)
      if (!Tried.count(c.Name)) {
        next = &c;
        break;
      }
    if (!next) {
      if (list.empty()) return; // discovery tells when there is one
      // Every one failed: the next round after a pause that grows.
      Tried.clear();
      Schedule(Backoff);
      Backoff = std::min(Backoff * 2, std::max(BackoffFirstMs, std::min(BackoffMaxMs, RefreshMs)));
      return;
    }
    ++RequestID;
    TryingURL = next->URL;
    if (!HTTP->HTTP_Request(this, next->URL.c_str(), "GET", "", "", reinterpret_cast<void*>(RequestID))) {
      Fail(next->Name, "the request could not be made");
      return;
    }
    Trying = next->Name;
    uv_timer_start(
        DeadlineTimer,
        [](uv_timer_t* t) {
          auto* self = static_cast<TQELSystemClient*>(t->data);
          self->HTTP->Cancel(reinterpret_cast<void*>(self->RequestID));
          const std::string name = self->Trying;
          self->Trying.clear();
          self->Fail(name, "no answer within " + std::to_string(DeadlineMs / 1000) + " s");
        },
        DeadlineMs, 0);
  }

  // The next one is asked at once; every failure is told once until it changes.
  void Fail(const std::string& name, const std::string& why) {
    LastError = Printable(name) + ": " + why;
    if (Errors[name] != why)
      lws_log(QLLL_WARN, "System API %s (%s): %s", Printable(name).c_str(), TryingURL.c_str(), why.c_str());
    Errors[name] = why;
    Tried.insert(name);
    Schedule(0);
  }

  void Apply(const std::string& name, const TSystemGlobal& g) {
    ++Fetches;
    Errors.erase(name);
    LastError.clear();
    Tried.clear();
    Backoff = BackoffFirstMs;
    if (InUse != name)
      lws_log(QLLL_NOTICE, "System API %s (%s) in use: system %s", Printable(name).c_str(), TryingURL.c_str(),
              g.ID.c_str());
    InUse = name;
    bool fresh = !HaveGlobal;
    if (HaveGlobal && g.ID != Global.ID) {
      lws_log(QLLL_NOTICE, "System id changed from %s to %s: its settings are applied afresh",
              Global.ID.c_str(), g.ID.c_str());
      ++IDChanges;
      PreviousID = Global.ID;
      fresh = true;
    }
    if (fresh || g.HeartbeatInterval != Bridge->RegClient().HeartbeatInterval())
      Bridge->RegClient().SetHeartbeatInterval(g.HeartbeatInterval);
    const bool syslogChanged = fresh || g.Syslog != Global.Syslog;
    if (!g.SyslogV2.Host.empty() && (fresh || g.SyslogV2 != Global.SyslogV2))
      lws_log(QLLL_NOTICE, "Syslog v2 collector %s:%u not used: the node sends syslog over UDP only",
              g.SyslogV2.Host.c_str(), g.SyslogV2.Port);
    Global = g;
    HaveGlobal = true;
    if (syslogChanged) ApplySyslog(g.Syslog);
    Schedule(RefreshMs);
  }

  json SyslogText(const TSyslogTarget& t) const {
    if (t.Host.empty()) return nullptr;
    return HostInURL(t.Host) + ":" + std::to_string(t.Port);
  }

  // An address is taken as it is; a name is looked up off the loop (libuv's thread pool).
  void ApplySyslog(const TSyslogTarget& target) {
    if (Lookup) {
      Lookup->Owner = nullptr;
      uv_cancel(reinterpret_cast<uv_req_t*>(&Lookup->Req));
      Lookup = nullptr;
    }
    if (target.Host.empty()) {
      if (SyslogApplied) TSyslogForwarder::Instance().ClearTarget();
      SyslogApplied = false;
      SyslogState = "none";
      return;
    }
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET, target.Host.c_str(), &v4.sin_addr) == 1) {
      v4.sin_family = AF_INET;
      v4.sin_port = htons(target.Port);
      SetSyslogAddress(reinterpret_cast<sockaddr*>(&v4), sizeof v4);
      return;
    }
    if (inet_pton(AF_INET6, target.Host.c_str(), &v6.sin6_addr) == 1) {
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(target.Port);
      SetSyslogAddress(reinterpret_cast<sockaddr*>(&v6), sizeof v6);
      return;
    }
    // Until the name is found, lines go nowhere rather than to the former collector.
    if (SyslogApplied) TSyslogForwarder::Instance().ClearTarget();
    SyslogApplied = false;
    SyslogState = "resolving " + target.Host;
    LookupHost = target.Host;
    auto* lookup = new TLookup;
    lookup->Owner = this;
    lookup->Req.data = lookup;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    const std::string port = std::to_string(target.Port);
    const int rc = uv_getaddrinfo(
        Loop, &lookup->Req,
        [](uv_getaddrinfo_t* req, int status, addrinfo* res) {
          auto* l = static_cast<TLookup*>(req->data);
          if (l->Owner) l->Owner->OnLookup(l, status, res);
          uv_freeaddrinfo(res);
          delete l;
        },
        target.Host.c_str(), port.c_str(), &hints);
    if (rc != 0) {
      delete lookup;
      SyslogState = "cannot resolve " + target.Host + ": " + uv_strerror(rc);
      return;
    }
    Lookup = lookup;
  }

  void SetSyslogAddress(const sockaddr* address, socklen_t length) {
    char text[INET6_ADDRSTRLEN] = {};
    uint16_t port = 0;
    if (address->sa_family == AF_INET) {
      const auto* a = reinterpret_cast<const sockaddr_in*>(address);
      inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
      port = ntohs(a->sin_port);
    } else if (address->sa_family == AF_INET6) {
      const auto* a = reinterpret_cast<const sockaddr_in6*>(address);
      inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
      port = ntohs(a->sin6_port);
    }
    if (!TSyslogForwarder::Instance().SetTarget(address, length)) {
      SyslogState = std::string("no socket for ") + text;
      lws_log(QLLL_WARN, "Syslog: %s", SyslogState.c_str());
      return;
    }
    SyslogApplied = true;
    SyslogState = "sending to " + HostInURL(text) + ":" + std::to_string(port);
  }

  IQELNMOSBridge* Bridge;
  uv_loop_t* Loop;
  std::unique_ptr<Qel_http::IQELCurlWrapper, void (*)(Qel_http::IQELCurlWrapper*)> HTTP;
  std::minstd_rand Random;
  bool Secure = false;
  uint64_t RefreshMs = 60000;
  uv_timer_t* FetchTimer = nullptr;
  uv_timer_t* DeadlineTimer = nullptr;

  std::vector<TCandidate> Candidates;
  std::set<std::string> Tried;               // failed in this round
  std::map<std::string, std::string> Errors; // the last failure told of each
  std::string Trying, TryingURL;             // the request under way
  uintptr_t RequestID = 0;
  uint64_t Backoff = BackoffFirstMs;

  bool HaveGlobal = false;
  TSystemGlobal Global;
  std::string InUse;
  std::string LastError;
  std::string PreviousID;
  uint64_t IDChanges = 0;
  uint64_t Fetches = 0;

  TLookup* Lookup = nullptr;
  std::string LookupHost;
  bool SyslogApplied = false;
  std::string SyslogState = "none";
};

} // namespace

IQELSystemClient* IQELSystemClient::Create(IQELNMOSBridge* bridge) {
  return new TQELSystemClient(bridge);
}

} // namespace Qel_nmos_bridge
