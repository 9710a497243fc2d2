// The Avahi layer against a stand-in for the daemon: the library's calls are answered by a table of
// functions that records them, and the tests play the daemon's announcements and answers. Covered: the
// crawler's resolver pool and re-resolve timer, host name lookups, and the client's recovery when the
// daemon goes away.
#include "AvahiApi.h"
#include "AvahiClient.h"
#include "AvahiCrawler.h"
#include "AvahiHostResolver.h"
#include "AvahiPublisher.h"
#include "MDNSBridge.h"
#include "Threaded_API.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// What the daemon was asked for, and the callbacks through which it answers.
struct TFakeDaemon {
  struct Lookup {
    std::string name;
    AvahiServiceResolverCallback cb;
    void* userdata;
    bool freed = false;
  };
  AvahiClientCallback client_cb = nullptr;
  void* client_userdata = nullptr;
  int clients_made = 0;
  std::vector<std::pair<AvahiServiceBrowserCallback, void*>> browsers; // the live ones
  std::vector<Lookup> lookups;                                         // every resolution ever started
  struct HostLookup {
    std::string name;
    AvahiHostNameResolverCallback cb;
    void* userdata;
    bool freed = false;
  };
  std::vector<HostLookup> host_lookups; // every host name lookup ever started
  int services_added = 0;
  AvahiEntryGroupCallback group_cb = nullptr;
  void* group_userdata = nullptr;

  // Indexes of the resolutions running now, in the order they were started.
  std::vector<std::string> Running() const {
    std::vector<std::string> names;
    for (const Lookup& l : lookups)
      if (!l.freed) names.push_back(l.name);
    return names;
  }
  void Announce(const std::string& name, AvahiBrowserEvent event = AVAHI_BROWSER_NEW,
                AvahiProtocol proto = AVAHI_PROTO_INET) {
    auto b = browsers.back();
    b.first(nullptr, 2, proto, event, name.c_str(), "_reg._tcp", "local",
            static_cast<AvahiLookupResultFlags>(0), b.second);
  }
  // Answers the running resolution of `name`, with an address or as a failure.
  void Answer(const std::string& name, bool found = true) {
    for (size_t i = 0; i < lookups.size(); ++i) {
      if (lookups[i].freed || lookups[i].name != name) continue;
      AvahiAddress a{};
      a.proto = AVAHI_PROTO_INET;
      a.data.ipv4.address = htonl(0x0a000001);
      lookups[i].cb(reinterpret_cast<AvahiServiceResolver*>(i + 1), 2, AVAHI_PROTO_INET,
                    found ? AVAHI_RESOLVER_FOUND : AVAHI_RESOLVER_FAILURE, name.c_str(), "_reg._tcp", "local",
                    "reg.local", found ? &a : nullptr, 8080, nullptr, static_cast<AvahiLookupResultFlags>(0),
                    lookups[i].userdata);
      return;
    }
    ADD_FAILURE() << "no resolution of " << name << " runs";
  }
  size_t HostLookupsRunning() const {
    size_t n = 0;
    for (const HostLookup& l : host_lookups)
      n += !l.freed;
    return n;
  }
  // Answers the running lookup of host `name` with 10.0.0.7, or as a failure.
  void AnswerHost(const std::string& name, bool found = true) {
    for (size_t i = 0; i < host_lookups.size(); ++i) {
      if (host_lookups[i].freed || host_lookups[i].name != name) continue;
      AvahiAddress a{};
      a.proto = AVAHI_PROTO_INET;
      a.data.ipv4.address = htonl(0x0a000007);
      host_lookups[i].cb(reinterpret_cast<AvahiHostNameResolver*>(i + 1), 2, AVAHI_PROTO_INET,
                         found ? AVAHI_RESOLVER_FOUND : AVAHI_RESOLVER_FAILURE, name.c_str(),
                         found ? &a : nullptr, static_cast<AvahiLookupResultFlags>(0),
                         host_lookups[i].userdata);
      return;
    }
    ADD_FAILURE() << "no lookup of " << name << " runs";
  }
};

TFakeDaemon* Daemon = nullptr;
AvahiClient* const FakeClient = reinterpret_cast<AvahiClient*>(0x1000);

const TAvahiApi FakeApi = {
    [](const AvahiPoll*, AvahiClientFlags, AvahiClientCallback cb, void* userdata, int*) {
      Daemon->client_cb = cb;
      Daemon->client_userdata = userdata;
      ++Daemon->clients_made;
      cb(FakeClient, AVAHI_CLIENT_S_RUNNING, userdata);
      return FakeClient;
    },
    [](AvahiClient*) {},
    [](AvahiClient*) { return 0; },
    [](AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*, const char*, AvahiLookupFlags,
       AvahiServiceBrowserCallback cb, void* userdata) {
      Daemon->browsers.emplace_back(cb, userdata);
      return reinterpret_cast<AvahiServiceBrowser*>(Daemon->browsers.size());
    },
    [](AvahiServiceBrowser* b) {
      Daemon->browsers.erase(Daemon->browsers.begin() + (reinterpret_cast<intptr_t>(b) - 1));
      return 0;
    },
    [](AvahiClient*, AvahiIfIndex, AvahiProtocol, const char* name, const char*, const char*, AvahiProtocol,
       AvahiLookupFlags, AvahiServiceResolverCallback cb, void* userdata) {
      Daemon->lookups.push_back({name, cb, userdata});
      return reinterpret_cast<AvahiServiceResolver*>(Daemon->lookups.size());
    },
    [](AvahiServiceResolver* r) {
      Daemon->lookups.at(reinterpret_cast<intptr_t>(r) - 1).freed = true;
      return 0;
    },
    [](AvahiClient*, AvahiIfIndex, AvahiProtocol proto, const char* name, AvahiProtocol, AvahiLookupFlags,
       AvahiHostNameResolverCallback cb, void* userdata) {
      EXPECT_EQ(proto, AVAHI_PROTO_INET);
      Daemon->host_lookups.push_back({name, cb, userdata});
      return reinterpret_cast<AvahiHostNameResolver*>(Daemon->host_lookups.size());
    },
    [](AvahiHostNameResolver* r) {
      TFakeDaemon::HostLookup& lookup = Daemon->host_lookups.at(reinterpret_cast<intptr_t>(r) - 1);
      EXPECT_FALSE(lookup.freed) << "freed twice";
      lookup.freed = true;
      return 0;
    },
    [](AvahiClient*, AvahiEntryGroupCallback cb, void* userdata) {
      Daemon->group_cb = cb;
      Daemon->group_userdata = userdata;
      return reinterpret_cast<AvahiEntryGroup*>(0x2000);
    },
    [](AvahiEntryGroup*) { return 0; },
    [](AvahiEntryGroup*) { return 0; },
    [](AvahiEntryGroup* g) {
      Daemon->group_cb(g, AVAHI_ENTRY_GROUP_ESTABLISHED, Daemon->group_userdata);
      return 0;
    },
    [](AvahiEntryGroup*, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags, const char*, const char*,
       const char*, const char*, uint16_t, AvahiStringList*) {
      ++Daemon->services_added;
      return 0;
    },
    [](AvahiEntryGroup*, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags, const char*, const char*,
       const char*, const char*) { return 0; },
};

class AvahiLayer : public ::testing::Test {
protected:
  AvahiLayer() {
    Daemon = &Fake;
    SetAvahiApi(&FakeApi);
    setenv("QEL_AVAHI_DAEMON_START", "", 1);
    Client = std::make_unique<TAvahiClient>(Host);
  }
  ~AvahiLayer() override {
    Crawler.reset();
    Client.reset();
    uv_run(Host->Loop(), UV_RUN_NOWAIT); // closes the timers
    Host->Destroy();
    SetAvahiApi(nullptr);
    Daemon = nullptr;
  }

  TAvahiCrawler& Crawl(unsigned pool) {
    Crawler = std::make_unique<TAvahiCrawler>(Client.get(), pool, "_reg._tcp", "");
    Crawler->ServiceResolved.Connect(&Watcher, &TWatcher::OnResolved);
    Crawler->ServiceRemoved.Connect(&Watcher, &TWatcher::OnRemoved);
    Crawler->AllForNow.Connect(&Watcher, &TWatcher::OnAllForNow);
    return *Crawler;
  }
  static std::string Name(int i) { return "reg" + std::to_string(i); }

  // What the crawler reported, in order: "+name" resolved, "-name" removed, "." all for now.
  struct TWatcher : TObject {
    explicit TWatcher(TThread* host) : TObject(host) {}
    void OnResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
      EXPECT_EQ(r.Address.ToString(), "10.0.0.1");
      EXPECT_EQ(r.Port, 8080);
      Events.push_back("+" + s->name);
    }
    void OnRemoved(const TAvahiService* s) { Events.push_back("-" + s->name); }
    void OnAllForNow() { Events.push_back("."); }
    std::vector<std::string> Events;
  };

  TFakeDaemon Fake;
  TThread* Host = TThread::Self();
  std::unique_ptr<TAvahiClient> Client;
  TWatcher Watcher{Host};
  std::unique_ptr<TAvahiCrawler> Crawler;
};

using Events = std::vector<std::string>;

TEST_F(AvahiLayer, InstancesAreResolvedAtOnceAndAllForNowFollowsTheLast) {
  Crawl(5);
  for (int i = 1; i <= 3; ++i)
    Fake.Announce(Name(i));
  Fake.Announce(Name(2));                                       // announced again: nothing new
  Fake.Announce(Name(9), AVAHI_BROWSER_NEW, AVAHI_PROTO_INET6); // IPv6 is not looked at
  EXPECT_EQ(Fake.Running(), (Events{"reg1", "reg2", "reg3"}));
  EXPECT_EQ(Crawler->Browser().ServiceCount(), 3u);
  Fake.Answer("reg2");
  Fake.Answer("reg1");
  Fake.Answer("reg3");
  EXPECT_EQ(Watcher.Events, (Events{"+reg2", "+reg1", "+reg3", "."}));
  EXPECT_TRUE(Fake.Running().empty());
}

TEST_F(AvahiLayer, BeyondThePoolInstancesWaitAndFollowInListOrder) {
  Crawl(5);
  for (int i = 1; i <= 7; ++i)
    Fake.Announce(Name(i));
  EXPECT_EQ(Fake.Running(), (Events{"reg1", "reg2", "reg3", "reg4", "reg5"}));
  ASSERT_NE(Crawler->NextToResolve(), nullptr);
  EXPECT_EQ(Crawler->NextToResolve()->name, "reg6");

  // A failed answer is not passed on, but its resolver takes the first one waiting.
  Fake.Answer("reg3", false);
  EXPECT_EQ(Fake.Running(), (Events{"reg1", "reg2", "reg4", "reg5", "reg6"}));
  // An instance that goes while it is resolved frees its resolver for the next one; nothing is
  // reported resolved for it, not even when its answer would come late.
  Fake.Announce(Name(2), AVAHI_BROWSER_REMOVE);
  EXPECT_EQ(Fake.Running(), (Events{"reg1", "reg4", "reg5", "reg6", "reg7"}));
  EXPECT_EQ(Crawler->NextToResolve(), nullptr);
  for (const char* name : {"reg7", "reg1", "reg4", "reg5", "reg6"})
    Fake.Answer(name);
  EXPECT_EQ(Watcher.Events, (Events{"-reg2", "+reg7", "+reg1", "+reg4", "+reg5", "+reg6", "."}));
  EXPECT_EQ(Crawler->ActiveResolutions(), 0u);

  // The resolvers are all idle again: a new instance is resolved at once.
  Fake.Announce(Name(8));
  EXPECT_EQ(Fake.Running(), (Events{"reg8"}));
}

TEST_F(AvahiLayer, ReResolvePeriodFollowsTheNumberOfInstances) {
  TAvahiCrawler& crawler = Crawl(5);
  EXPECT_EQ(crawler.TimerPeriod(), 0u);
  for (int i = 1; i <= 4; ++i)
    Fake.Announce(Name(i));
  EXPECT_EQ(crawler.TimerPeriod(), 150000u);
  for (int i = 5; i <= 1000; ++i)
    Fake.Announce(Name(i));
  EXPECT_EQ(crawler.TimerPeriod(), 1000u);
  // Each answer hands its resolver to the next one waiting, until all are resolved.
  for (int i = 1; i <= 1000; ++i)
    Fake.Answer(Name(i));
  EXPECT_TRUE(Fake.Running().empty());

  // One tick later the first instance is resolved again and goes to the end of the list.
  const uint64_t until = uv_now(Host->Loop()) + 3000;
  while (Fake.Running().empty() && uv_now(Host->Loop()) < until)
    uv_run(Host->Loop(), UV_RUN_ONCE);
  EXPECT_EQ(Fake.Running(), (Events{"reg1"}));
  EXPECT_EQ(crawler.Browser().ServiceList()->name, "reg2");

  for (int i = 1; i <= 1000; ++i)
    Fake.Announce(Name(i), AVAHI_BROWSER_REMOVE);
  EXPECT_EQ(crawler.TimerPeriod(), 0u);
  EXPECT_TRUE(Fake.Running().empty());
}

TEST_F(AvahiLayer, DaemonRestartRemovesEverythingThenBrowsesAndPublishesAgain) {
  Crawl(5);
  TAvahiPublisher publisher(Client.get());
  AvahiStringList* txt = avahi_string_list_new("api_proto=http", nullptr);
  publisher.Publish("node", 8080, AVAHI_IF_UNSPEC, "_nmos-node._tcp", "", txt);
  EXPECT_EQ(publisher.GetStatus(), TAvahiPublisher::Established);
  Fake.Announce(Name(1));
  Fake.Announce(Name(2));
  Fake.Answer("reg1");

  Fake.client_cb(FakeClient, AVAHI_CLIENT_FAILURE, Fake.client_userdata);
  EXPECT_EQ(Client->Status(), TAvahiClient::Failure);
  EXPECT_EQ(Client->DaemonStarts(), 1u);
  uv_run(Host->Loop(), UV_RUN_NOWAIT); // the new connection is made on the next loop turn
  EXPECT_EQ(Fake.clients_made, 2);
  EXPECT_EQ(Client->Status(), TAvahiClient::Running);
  // Both instances were reported gone, the pending resolution ended, browsing started again.
  EXPECT_EQ(Watcher.Events, (Events{"+reg1", "-reg1", "-reg2"}));
  EXPECT_TRUE(Fake.Running().empty());
  EXPECT_EQ(Fake.browsers.size(), 1u);
  EXPECT_EQ(Fake.services_added, 2);
  EXPECT_EQ(publisher.GetStatus(), TAvahiPublisher::Established);
  Fake.Announce(Name(1));
  EXPECT_EQ(Fake.Running(), (Events{"reg1"}));
  avahi_string_list_free(txt);
}

// Host names are looked up several at a time; each lookup ends once: with the address found, with the
// null address on a failure, a timeout or the daemon's going, or silently when it is cancelled or its
// resolver goes. The library's object is freed every time, and no answer is given inside Resolve().
TEST_F(AvahiLayer, HostNameLookupsEndOnceWhateverHappens) {
  std::vector<std::string> answers;
  auto note = [&answers](const char* what) {
    return [&answers, what](const THostAddress& a) {
      answers.push_back(std::string(what) + "=" + (a.IsNull() ? "null" : a.ToString()));
    };
  };
  auto resolver = std::make_unique<TAvahiHostResolver>(Client.get(), 50);
  EXPECT_NE(resolver->Resolve("found.local", note("found")), 0u);
  EXPECT_NE(resolver->Resolve("failed.local", note("failed")), 0u);
  EXPECT_NE(resolver->Resolve("slow.local", note("slow")), 0u);
  const uint64_t cancelled = resolver->Resolve("cancelled.local", note("cancelled"));
  EXPECT_EQ(Fake.HostLookupsRunning(), 4u);
  EXPECT_TRUE(answers.empty());
  resolver->Cancel(cancelled);
  resolver->Cancel(cancelled); // once only
  Fake.AnswerHost("found.local");
  Fake.AnswerHost("failed.local", false);
  EXPECT_EQ(answers, (Events{"found=10.0.0.7", "failed=null"}));
  // Nothing answers "slow.local": it times out.
  const uint64_t until = uv_now(Host->Loop()) + 5000;
  while (resolver->Running() && uv_now(Host->Loop()) < until)
    uv_run(Host->Loop(), UV_RUN_ONCE);
  EXPECT_EQ(answers, (Events{"found=10.0.0.7", "failed=null", "slow=null"}));
  EXPECT_EQ(Fake.HostLookupsRunning(), 0u);

  // Beyond the lookups allowed at once a request fails on the next loop turn, without a lookup.
  answers.clear();
  resolver = std::make_unique<TAvahiHostResolver>(Client.get()); // none times out meanwhile
  for (size_t i = 0; i < TAvahiHostResolver::max_running; ++i)
    resolver->Resolve("h" + std::to_string(i) + ".local", note("many"));
  resolver->Resolve("onetoomany.local", note("extra"));
  EXPECT_EQ(Fake.HostLookupsRunning(), TAvahiHostResolver::max_running);
  uv_run(Host->Loop(), UV_RUN_NOWAIT);
  EXPECT_EQ(answers, (Events{"extra=null"}));
  // The daemon goes: every running lookup fails, and none can be made until it is back.
  Fake.client_cb(FakeClient, AVAHI_CLIENT_FAILURE, Fake.client_userdata);
  EXPECT_EQ(resolver->Resolve("meanwhile.local", note("meanwhile")), 0u);
  uv_run(Host->Loop(), UV_RUN_NOWAIT); // reconnects
  EXPECT_EQ(answers.size(), 1 + TAvahiHostResolver::max_running);
  EXPECT_EQ(answers.back(), "many=null");
  EXPECT_EQ(Fake.HostLookupsRunning(), 0u);

  // A resolver that goes with lookups running frees them and answers none.
  answers.clear();
  EXPECT_NE(resolver->Resolve("late.local", note("late")), 0u);
  resolver.reset();
  EXPECT_EQ(Fake.HostLookupsRunning(), 0u);
  uv_run(Host->Loop(), UV_RUN_NOWAIT);
  EXPECT_TRUE(answers.empty());
}

// Without a running daemon nothing is looked up: the caller does without.
TEST_F(AvahiLayer, NoHostNameLookupWhileTheDaemonIsAway) {
  TAvahiHostResolver resolver(Client.get());
  Fake.client_cb(FakeClient, AVAHI_CLIENT_CONNECTING, Fake.client_userdata);
  bool answered = false;
  EXPECT_EQ(resolver.Resolve("sender-host.local", [&answered](const THostAddress&) { answered = true; }), 0u);
  EXPECT_TRUE(Fake.host_lookups.empty());
  EXPECT_FALSE(answered);
}

// The TXT records of a registry decide whether it is used, with which priority and at which IS-04
// version; each value is read whole: a priority is a whole number in range, versions are whole items of
// a comma-separated list.
TEST(RegistryTXT, RecordsAreReadExactly) {
  struct Case {
    std::vector<std::string> records; // in the order the library gives them
    bool accepted;
    uint16_t prio;
    const char* version; // "": to be asked
  } cases[] = {
      {{"api_proto=http", "api_ver=v1.0,v1.1,v1.2", "pri=10"}, true, 10, "v1.2"},
      {{"api_proto=http", "api_ver=v1.2,v1.3", "api_auth=false", "pri=3"}, true, 3, "v1.3"},
      {{}, true, 0, ""},
      {{"txtvers=1", "api_ver=v1.1, v1.2 ,v1.3"}, true, 0, "v1.3"},
      {{"api_ver=v1.3"}, true, 0, "v1.3"},
      {{"api_ver=v1.0"}, true, 0, "v1.0"},
      {{"api_ver=xv1.2,v1.3"}, true, 0, "v1.3"},
      {{"pri=0"}, true, 0, ""},
      {{"pri=65535"}, true, 65535, ""},
      {{"pri=00010"}, true, 10, ""},
      {{"PRI=7", "Api_Ver=v1.2", "API_PROTO=http", "API_AUTH=false"}, true, 7, "v1.2"}, // keys in any case
      {{"pri=5", "pri=abc", "api_ver=v1.2", "api_ver=v1.3", "api_auth=false", "api_auth=true"},
       true,
       5,
       "v1.2"}, // only the first record of a key counts
      {{"pri=65536"}, false, 0, ""},
      {{"pri=abc"}, false, 0, ""},
      {{"pri=-1"}, false, 0, ""},
      {{"pri="}, false, 0, ""},
      {{"pri"}, false, 0, ""},
      {{"pri=+5"}, false, 0, ""},
      {{"pri= 5"}, false, 0, ""},
      {{"pri=5 "}, false, 0, ""},
      {{"pri=1e3"}, false, 0, ""},
      {{"pri=99999999999999999999"}, false, 0, ""},
      {{std::string("pri=1\0", 6)}, false, 0, ""},
      {{"api_ver=v1.2", "pri=abc"}, false, 0, ""}, // refused whatever comes first
      {{"api_ver=v1.20"}, false, 0, ""},
      {{"api_ver=v1.2x"}, false, 0, ""},
      {{"api_ver=v1.1"}, false, 0, ""},
      {{"api_ver=v1.10"}, false, 0, ""},
      {{"api_ver="}, false, 0, ""},
      {{"api_ver"}, false, 0, ""},
      {{std::string("api_ver=v1.2\0", 13)}, false, 0, ""},
      {{"api_ver=v1.2", "api_proto=https"}, false, 0, ""},
      {{"api_proto=HTTP"}, false, 0, ""},
      {{"api_ver=v1.3", "api_auth=true"}, false, 0, ""},
      {{"api_auth=yes"}, false, 0, ""},
      {{"api_auth"}, false, 0, ""},
  };
  for (const Case& c : cases) {
    AvahiStringList* txt = nullptr;
    for (auto it = c.records.rbegin(); it != c.records.rend(); ++it) // adds at the front: keep the order
      txt = avahi_string_list_add_arbitrary(txt, reinterpret_cast<const uint8_t*>(it->data()), it->size());
    const std::string first = c.records.empty() ? "" : c.records.front();
    const Qel_nmos_bridge::TRegistryTXT read = Qel_nmos_bridge::ReadRegistryTXT(txt, false);
    EXPECT_EQ(read.Usable, c.accepted) << first;
    // A node that sends tokens takes a registry that requires them (and only that refusal goes).
    const bool authOnly = first == "api_ver=v1.3" && c.records.size() == 2 && c.records[1] == "api_auth=true";
    EXPECT_EQ(Qel_nmos_bridge::ReadRegistryTXT(txt, false, true).Usable, c.accepted || authOnly) << first;
    EXPECT_EQ(read.Refusal.empty(), c.accepted) << first;
    if (c.accepted) {
      EXPECT_EQ(read.Prio, c.prio) << first;
      EXPECT_EQ(read.Version, c.version) << first;
    }
    avahi_string_list_free(txt);
  }
}

// A secure node uses registries over https only: those that say so; plain http ones, said or implied by
// a missing record, are refused with the reason.
TEST(RegistryTXT, ASecureNodeTakesHTTPSRegistriesOnly) {
  struct Case {
    std::vector<std::string> records;
    bool secureAccepts, plainAccepts;
  } cases[] = {
      {{"api_proto=https", "api_ver=v1.3", "pri=4"}, true, false},
      {{"API_PROTO=https"}, true, false},
      {{"api_proto=http", "api_ver=v1.3"}, false, true},
      {{"api_ver=v1.3"}, false, true},
      {{}, false, true},
      {{"api_proto=HTTPS"}, false, false},
      {{"api_proto=https", "api_proto=http"}, true, false}, // only the first record counts
      {{"api_proto=https", "api_auth=true"}, false, false},
  };
  for (const Case& c : cases) {
    AvahiStringList* txt = nullptr;
    for (auto it = c.records.rbegin(); it != c.records.rend(); ++it)
      txt = avahi_string_list_add_arbitrary(txt, reinterpret_cast<const uint8_t*>(it->data()), it->size());
    const std::string first = c.records.empty() ? "(none)" : c.records.front();
    const Qel_nmos_bridge::TRegistryTXT secure = Qel_nmos_bridge::ReadRegistryTXT(txt, true);
    EXPECT_EQ(secure.Usable, c.secureAccepts) << first;
    EXPECT_EQ(secure.Refusal.empty(), c.secureAccepts) << first;
    if (!c.secureAccepts && c.plainAccepts) {
      EXPECT_NE(secure.Refusal.find("https only"), std::string::npos) << first;
    }
    EXPECT_EQ(Qel_nmos_bridge::ReadRegistryTXT(txt, false).Usable, c.plainAccepts) << first;
    if (c.secureAccepts && c.records.size() > 2) {
      EXPECT_EQ(secure.Prio, 4) << first;
    }
    avahi_string_list_free(txt);
  }
}

// The node advertises every IS-04 version it serves, its protocol, and whether its Node API needs
// authorization.
TEST(RegistryTXT, TheNodeAdvertisesItsVersionsProtocolAndAuthorization) {
  EXPECT_EQ(Qel_nmos_bridge::NodeTXTRecords(false, false),
            (std::vector<std::string>{"api_proto=http", "api_ver=v1.0,v1.2,v1.3", "api_auth=false"}));
  EXPECT_EQ(Qel_nmos_bridge::NodeTXTRecords(true, false),
            (std::vector<std::string>{"api_proto=https", "api_ver=v1.0,v1.2,v1.3", "api_auth=false"}));
  EXPECT_EQ(Qel_nmos_bridge::NodeTXTRecords(false, true).back(), "api_auth=true");
}

// An authorization server is taken when it speaks IS-10 v1.0 over https (http only for a node that is
// not secure itself) and names its priority; its selector becomes the issuer's path.
TEST(RegistryTXT, AuthorizationServersAreReadFromTheirRecords) {
  struct Case {
    std::vector<std::string> records;
    bool secure;
    bool accepted;
    uint16_t prio;
    std::string selector;
  };
  const Case cases[] = {
      {{"api_proto=https", "api_ver=v1.0", "pri=10"}, true, true, 10, ""},
      {{"api_proto=http", "api_ver=v1.0,v2.0", "pri=0", "api_selector=x-nmos/auth"},
       false,
       true,
       0,
       "/x-nmos/auth"},
      {{"api_proto=http", "api_ver=v1.0", "pri=0"}, true, false, 0, ""},
      {{"api_proto=https", "api_ver=v1.1", "pri=0"}, true, false, 0, ""},
      {{"api_proto=https", "api_ver=v1.0"}, true, false, 0, ""},
      {{"api_proto=https", "api_ver=v1.0", "pri=ten"}, true, false, 0, ""},
      {{"api_proto=https", "api_ver=v1.0", "pri=1", "api_selector=../evil"}, true, false, 0, ""},
      {{"api_proto=https", "api_ver=v1.0", "pri=1", "api_selector=a?b"}, true, false, 0, ""},
  };
  for (const Case& c : cases) {
    AvahiStringList* txt = nullptr;
    for (auto it = c.records.rbegin(); it != c.records.rend(); ++it)
      txt = avahi_string_list_add(txt, it->c_str());
    const Qel_nmos_bridge::TAuthTXT read = Qel_nmos_bridge::ReadAuthTXT(txt, c.secure);
    EXPECT_EQ(read.Usable, c.accepted) << c.records.back();
    if (c.accepted) {
      EXPECT_EQ(read.Prio, c.prio);
      EXPECT_EQ(read.Selector, c.selector);
    }
    avahi_string_list_free(txt);
  }
}

} // namespace

// The SRV target a secure node puts in its URLs: a plain host name only, anything else falls back to
// the address.
TEST(ServiceHostName, OnlyPlainHostNamesAreUsed) {
  using Qel_nmos_bridge::UsableHostName;
  EXPECT_EQ(UsableHostName("NMOS-Mocks.local."), "nmos-mocks.local");
  EXPECT_EQ(UsableHostName("reg1.example.com"), "reg1.example.com");
  for (const char* bad :
       {"", ".", "a..local", ".local", "evil.local:1@x", "a/b.local", "a b.local", "[::1]", "x.local\n"})
    EXPECT_EQ(UsableHostName(bad), "") << bad;
  EXPECT_EQ(UsableHostName(std::string(64, 'a') + ".local"), "");
}
