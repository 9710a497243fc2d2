#include "UnicastBrowser.h"

#include "DNSReply.h"
#include "helpers.h"
#include "uv_unique_ptr.h"

#include <ares.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace Qel_nmos_bridge {

namespace {

const uint32_t MinPeriod = 10;  // s: never browse more often, whatever the TTLs say
const uint32_t MaxPeriod = 300; // s: nor less often
const int QueryTimeoutMs = 2000;
const int QueryTries = 2;
// Instances of one type followed at most: a server that lists more is not followed past them.
const size_t MaxInstances = 64;

using uv_poll_ptr = std::unique_ptr<uv_poll_t, uv_delete<uv_poll_s>>;

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Dotted(uint32_t networkOrder) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &networkOrder, text, sizeof text);
  return text;
}

class TUnicastBrowser;

// One instance of a browsed type, as the current round resolves it.
struct TInstance {
  TUnicastService Service;
  std::string FullName;
  unsigned Round = 0;
  bool HaveSRV = false, HaveTXT = false, HaveA = false;
  bool Gone = false;    // a record it needs does not exist
  bool Unknown = false; // a query failed: what was told stands
  int Waiting = 0;      // queries of this round still out
  bool Told = false;    // the sink holds it
  TUnicastService Last; // what the sink was told
};

struct TTypeBrowse {
  TUnicastBrowser* Owner = nullptr;
  std::string Type;
  TUnicastSink Sink;
  uv_timer_ptr Timer;
  unsigned Round = 0;
  int Waiting = 0;
  uint32_t SmallestTTL = MaxPeriod;
  bool Failed = false;
  bool TooMany = false;                       // told that the server lists too many instances
  bool Trouble = false;                       // the last round had a query without an answer (told once)
  std::map<std::string, TInstance> Instances; // by the full name in lower case
};

enum TAsk { AskPTR, AskSRV, AskTXT, AskA };

struct TQuery {
  TTypeBrowse* Browse;
  unsigned Round;
  TAsk Ask;
  std::string Key; // the instance's, for SRV, TXT and A
  std::string Name;
};

class TUnicastBrowser : public IQELUnicastBrowser {
public:
  TUnicastBrowser(uv_loop_t* loop, const TUnicastSettings& settings)
      : Loop(loop), Domain(settings.Domain), AresTimer(new uv_timer_t) {
    while (!Domain.empty() && Domain.back() == '.')
      Domain.pop_back();
    uv_timer_init(loop, AresTimer.get());
    AresTimer->data = this;
  }
  ~TUnicastBrowser() override {
    // Every query still out is called back (ARES_EDESTRUCTION) and frees its record; the sockets are
    // closed, which ends their polls.
    if (Channel) ares_destroy(Channel);
    Polls.clear();
  }
  TUnicastBrowser(const TUnicastBrowser&) = delete;
  TUnicastBrowser& operator=(const TUnicastBrowser&) = delete;

  bool Init(const TUnicastSettings& settings) {
    static std::once_flag once;
    static int initStatus = ARES_SUCCESS;
    std::call_once(once, [] { initStatus = ares_library_init(ARES_LIB_INIT_ALL); });
    if (initStatus != ARES_SUCCESS) return Error("the resolver library", initStatus);
    ares_options options{};
    options.sock_state_cb = &TUnicastBrowser::SocketState;
    options.sock_state_cb_data = this;
    options.timeout = QueryTimeoutMs;
    options.tries = QueryTries;
    std::string resolvConf = settings.ResolvConf;
    int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    if (!resolvConf.empty()) {
      options.resolvconf_path = &resolvConf[0];
      mask |= ARES_OPT_RESOLVCONF;
    }
    int status = ares_init_options(&Channel, &options, mask);
    if (status != ARES_SUCCESS) {
      Channel = nullptr;
      return Error("the resolver", status);
    }
    if (!settings.Server.empty()) {
      status = ares_set_servers_ports_csv(Channel, settings.Server.c_str());
      if (status != ARES_SUCCESS) return Error(("the DNS server " + settings.Server).c_str(), status);
    }
    return true;
  }

  void Destroy() override { delete this; }

  void Browse(const std::string& type, TUnicastSink sink) override {
    Types.emplace_back(new TTypeBrowse);
    TTypeBrowse& browse = *Types.back();
    browse.Owner = this;
    browse.Type = type;
    browse.Sink = std::move(sink);
    browse.Timer.reset(new uv_timer_t);
    uv_timer_init(Loop, browse.Timer.get());
    browse.Timer->data = &browse;
    // The first round on the next loop turn, never inside the caller's work.
    uv_timer_start(
        browse.Timer.get(),
        [](uv_timer_t* t) {
          static_cast<TTypeBrowse*>(t->data)->Owner->StartRound(*static_cast<TTypeBrowse*>(t->data));
        },
        0, 0);
  }

private:
  bool Error(const char* what, int status) {
    lws_log(QLLL_ERR, "Unicast DNS-SD: %s cannot be used (%s): unicast browsing is off", what,
            ares_strerror(status));
    return false;
  }

  void Ask(TTypeBrowse& browse, TAsk ask, const std::string& name, const std::string& key, int type) {
    ++browse.Waiting;
    if (!key.empty()) ++browse.Instances[key].Waiting;
    auto* query = new TQuery{&browse, browse.Round, ask, key, name};
    ares_query(Channel, name.c_str(), 1 /* IN */, type, &TUnicastBrowser::Answered, query);
    ArmAresTimer();
  }

  void StartRound(TTypeBrowse& browse) {
    ++browse.Round;
    browse.Waiting = 0;
    browse.SmallestTTL = MaxPeriod;
    browse.Failed = false;
    Ask(browse, AskPTR, browse.Type + "." + Domain, std::string(), DNSTypePTR);
  }

  static void Answered(void* arg, int status, int /*timeouts*/, unsigned char* abuf, int alen) {
    std::unique_ptr<TQuery> query(static_cast<TQuery*>(arg));
    if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED) return;
    TTypeBrowse& browse = *query->Browse;
    if (query->Round != browse.Round) return;
    browse.Owner->Handle(browse, *query, status, abuf, alen);
  }

  void Handle(TTypeBrowse& browse, const TQuery& query, int status, const unsigned char* abuf, int alen) {
    TDNSReply reply;
    if (abuf && alen > 0) reply = ParseDNSReply(abuf, static_cast<size_t>(alen));
    // No such name, or no record of the type: an answer. Anything else (no answer, a server failure,
    // a refusal, a malformed reply) tells nothing.
    const bool absent = status == ARES_ENOTFOUND || status == ARES_ENODATA;
    const bool answered = absent || (status == ARES_SUCCESS && reply.Valid);
    if (!answered) {
      if (!browse.Trouble)
        lws_log(QLLL_WARN, "Unicast DNS-SD: no answer for %s (%s); asking again every %u s",
                query.Name.c_str(), ares_strerror(status), MinPeriod);
      browse.Failed = browse.Trouble = true;
    }
    for (const TDNSRecord& record : reply.Records)
      if (SameDNSName(record.Name, query.Name)) browse.SmallestTTL = std::min(browse.SmallestTTL, record.TTL);
    if (query.Ask == AskPTR) {
      if (answered) Listed(browse, query.Name, reply);
    } else {
      auto it = browse.Instances.find(query.Key);
      if (it != browse.Instances.end()) {
        TInstance& instance = it->second;
        --instance.Waiting;
        if (!answered)
          instance.Unknown = true;
        else
          Read(browse, instance, query, reply);
        if (instance.Waiting == 0) Settle(browse, it);
      }
    }
    if (--browse.Waiting == 0) {
      if (browse.Trouble && !browse.Failed) {
        browse.Trouble = false;
        lws_log(QLLL_WARN, "Unicast DNS-SD: %s.%s answered again", browse.Type.c_str(), Domain.c_str());
      }
      const uint32_t period = BrowsePeriod(browse.SmallestTTL, browse.Failed);
      uv_timer_start(
          browse.Timer.get(),
          [](uv_timer_t* t) {
            auto* b = static_cast<TTypeBrowse*>(t->data);
            b->Owner->StartRound(*b);
          },
          uint64_t{period} * 1000, 0);
    }
  }

  // The PTR answer: the instances of the type now. Those no longer listed are gone.
  void Listed(TTypeBrowse& browse, const std::string& ptrName, const TDNSReply& reply) {
    const std::string suffix = "." + Lower(ptrName);
    std::set<std::string> listed;
    for (const TDNSRecord& record : reply.Records) {
      if (record.Type != DNSTypePTR || !SameDNSName(record.Name, ptrName)) continue;
      const std::string key = Lower(record.Target);
      if (key.size() <= suffix.size() || key.compare(key.size() - suffix.size(), suffix.size(), suffix))
        continue;
      if (listed.count(key)) continue;
      if (listed.size() >= MaxInstances) {
        if (!browse.TooMany)
          lws_log(QLLL_WARN, "Unicast DNS-SD: %s lists more than %zu instances; the others are not followed",
                  ptrName.c_str(), MaxInstances);
        browse.TooMany = true;
        break;
      }
      listed.insert(key);
      TInstance& instance = browse.Instances[key];
      instance.FullName = record.Target;
      instance.Service.Name = record.Target.substr(0, record.Target.size() - suffix.size());
      instance.Service.Type = browse.Type;
      instance.Service.Domain = Domain;
      instance.Round = browse.Round;
      instance.HaveSRV = instance.HaveTXT = instance.HaveA = instance.Gone = instance.Unknown = false;
      instance.Waiting = 0;
    }
    for (auto it = browse.Instances.begin(); it != browse.Instances.end();) {
      if (listed.count(it->first)) {
        ++it;
        continue;
      }
      if (it->second.Told) browse.Sink(it->second.Last, false);
      it = browse.Instances.erase(it);
    }
    for (const std::string& key : listed) {
      const std::string name = browse.Instances[key].FullName;
      Ask(browse, AskSRV, name, key, DNSTypeSRV);
      Ask(browse, AskTXT, name, key, DNSTypeTXT);
    }
  }

  void Read(TTypeBrowse& browse, TInstance& instance, const TQuery& query, const TDNSReply& reply) {
    const TDNSRecord* found = nullptr;
    for (const TDNSRecord& record : reply.Records)
      if (SameDNSName(record.Name, query.Name) && record.Type == (query.Ask == AskSRV   ? DNSTypeSRV
                                                                  : query.Ask == AskTXT ? DNSTypeTXT
                                                                                        : DNSTypeA)) {
        // Of several SRV records the one of the lowest priority value serves.
        if (!found || (query.Ask == AskSRV && record.Priority < found->Priority)) found = &record;
        if (query.Ask != AskSRV) break;
      }
    switch (query.Ask) {
    case AskSRV:
      if (!found || found->Target.empty() || found->Port == 0) {
        instance.Gone = true;
        return;
      }
      instance.HaveSRV = true;
      instance.Service.HostName = found->Target;
      instance.Service.Port = found->Port;
      Ask(browse, AskA, found->Target, query.Key, DNSTypeA);
      return;
    case AskTXT:
      // An instance without TXT records is read as one with empty ones.
      instance.HaveTXT = true;
      instance.Service.Text = found ? found->Text : std::vector<std::string>();
      return;
    case AskA:
      if (!found) {
        instance.Gone = true;
        return;
      }
      instance.HaveA = true;
      instance.Service.Address = Dotted(found->Address);
      return;
    case AskPTR:
      return;
    }
  }

  // Every query of the instance's round is back: tell the sink what changed.
  void Settle(TTypeBrowse& browse, std::map<std::string, TInstance>::iterator it) {
    TInstance& instance = it->second;
    if (instance.Gone) {
      if (instance.Told) browse.Sink(instance.Last, false);
      instance.Told = false;
      return;
    }
    if (instance.Unknown || !instance.HaveSRV || !instance.HaveTXT || !instance.HaveA) return;
    if (instance.Told && instance.Last == instance.Service) return;
    instance.Told = true;
    instance.Last = instance.Service;
    browse.Sink(instance.Service, true);
  }

  // c-ares's sockets, watched on the loop.
  static void SocketState(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<TUnicastBrowser*>(data);
    if (!readable && !writable) {
      self->Polls.erase(fd);
      return;
    }
    uv_poll_ptr& poll = self->Polls[fd];
    if (!poll) {
      poll.reset(new uv_poll_t);
      if (uv_poll_init_socket(self->Loop, poll.get(), fd) != 0) {
        delete poll.release();
        self->Polls.erase(fd);
        return;
      }
      poll->data = self;
    }
    uv_poll_start(poll.get(), (readable ? UV_READABLE : 0) | (writable ? UV_WRITABLE : 0),
                  [](uv_poll_t* handle, int status, int events) {
                    auto* browser = static_cast<TUnicastBrowser*>(handle->data);
                    if (!browser) return;
                    uv_os_fd_t s = -1;
                    if (uv_fileno(reinterpret_cast<uv_handle_t*>(handle), &s) != 0) return;
                    const bool all = status < 0;
                    ares_process_fd(browser->Channel, all || (events & UV_READABLE) ? s : ARES_SOCKET_BAD,
                                    all || (events & UV_WRITABLE) ? s : ARES_SOCKET_BAD);
                    browser->ArmAresTimer();
                  });
  }

  void ArmAresTimer() {
    timeval wait{};
    if (!ares_timeout(Channel, nullptr, &wait)) {
      uv_timer_stop(AresTimer.get());
      return;
    }
    const uint64_t ms =
        static_cast<uint64_t>(wait.tv_sec) * 1000 + static_cast<uint64_t>(wait.tv_usec) / 1000 + 1;
    uv_timer_start(
        AresTimer.get(),
        [](uv_timer_t* t) {
          auto* browser = static_cast<TUnicastBrowser*>(t->data);
          if (!browser) return;
          ares_process_fd(browser->Channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
          browser->ArmAresTimer();
        },
        ms, 0);
  }

  uv_loop_t* Loop;
  std::string Domain;
  ares_channel Channel = nullptr;
  uv_timer_ptr AresTimer;
  std::map<ares_socket_t, uv_poll_ptr> Polls;
  std::vector<std::unique_ptr<TTypeBrowse>> Types;
};

} // namespace

uint32_t BrowsePeriod(uint32_t smallestTTL, bool failed) {
  if (failed) return MinPeriod;
  return std::min(MaxPeriod, std::max(MinPeriod, smallestTTL));
}

std::string SearchDomainOf(const std::string& resolvConf) {
  std::istringstream in(resolvConf);
  std::string line, domain;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword, first;
    if (!(words >> keyword) || (keyword != "search" && keyword != "domain")) continue;
    if (words >> first && first[0] != '#' && first[0] != ';') domain = first;
  }
  while (!domain.empty() && domain.back() == '.')
    domain.pop_back();
  return domain;
}

IQELUnicastBrowser* IQELUnicastBrowser::Create(uv_loop_t* loop, const TUnicastSettings& settings) {
  std::unique_ptr<TUnicastBrowser> browser(new TUnicastBrowser(loop, settings));
  if (!browser->Init(settings)) return nullptr;
  return browser.release();
}

} // namespace Qel_nmos_bridge
