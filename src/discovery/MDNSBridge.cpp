#include "MDNSBridge.h"

#include "DiscoverySources.h"
#include "UnicastBrowser.h"

#include "AvahiClient.h"
#include "AvahiCrawler.h"
#include "AvahiHostResolver.h"
#include "AvahiPublisher.h"
#include "NMOSBaseClient.h"
#include "NMOSBridgeConfig.h"
#include "NMOSBridge_API.h"
#include "NMOSQueryClient.h"
#include "NMOSRegClient.h"
#include "OAuthClient.h"
#include "RESTServer.h"
#include "RegistryVersions.h"
#include "RequestAuthorizer.h"
#include "SystemClient.h"
#include "VersionViews.h"
#include "helpers.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace Qel_nmos_bridge {

namespace {

const char* const NMOSRegisterURI = "/x-nmos/registration";
const char* const NMOSQueryURI = "/x-nmos/query";
const char* const AdvertisementType = "_nmos-node._tcp";
const char* const SubType = "";
const unsigned ResolverPoolSize = 5;
// The Registration API's service name, and the one of registries up to v1.2, which a node that also
// speaks v1.2 browses too.
const char* const RegisterType = "_nmos-register._tcp";
const char* const LegacyRegisterType = "_nmos-registration._tcp";
const char* const QueryType = "_nmos-query._tcp";
const char* const AuthType = "_nmos-auth._tcp";
const char* const SystemType = "_nmos-system._tcp";

// A text from the network made fit for a log line: bytes that are not printable ASCII become '?'.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

// TXT records as an Avahi list, freed with it.
struct TTextList {
  AvahiStringList* List = nullptr;
  explicit TTextList(const std::vector<std::string>& records) {
    for (auto it = records.rbegin(); it != records.rend(); ++it) // adds at the front: keep the order
      List = avahi_string_list_add_arbitrary(List, reinterpret_cast<const uint8_t*>(it->data()), it->size());
  }
  ~TTextList() { avahi_string_list_free(List); }
  TTextList(const TTextList&) = delete;
  TTextList& operator=(const TTextList&) = delete;
};

// The Avahi objects of the bridge, on its service host's loop.
class TAvahiAdapter : public TObject {
public:
  TAvahiAdapter(IQELNMOSBridge* bridge, TThread* host)
      : TObject(host), Bridge(bridge), Client(std::make_unique<TAvahiClient>(host)),
        QueryCrawler(std::make_unique<TAvahiCrawler>(Client.get(), ResolverPoolSize, QueryType, "")),
        RegCrawler(std::make_unique<TAvahiCrawler>(Client.get(), ResolverPoolSize, RegisterType, "")),
        LegacyRegCrawler(
            std::make_unique<TAvahiCrawler>(Client.get(), ResolverPoolSize, LegacyRegisterType, "")),
        AuthCrawler(std::make_unique<TAvahiCrawler>(Client.get(), ResolverPoolSize, AuthType, "")),
        SystemCrawler(std::make_unique<TAvahiCrawler>(Client.get(), ResolverPoolSize, SystemType, "")),
        Publisher(std::make_unique<TAvahiPublisher>(Client.get())),
        HostResolver(std::make_unique<TAvahiHostResolver>(Client.get())) {
    AuthCrawler->ServiceResolved.Connect(this, &TAvahiAdapter::OnAuthServiceResolved);
    AuthCrawler->ServiceRemoved.Connect(this, &TAvahiAdapter::OnAuthServiceRemoved);
    SystemCrawler->ServiceResolved.Connect(this, &TAvahiAdapter::OnSystemServiceResolved);
    SystemCrawler->ServiceRemoved.Connect(this, &TAvahiAdapter::OnSystemServiceRemoved);
    QueryCrawler->ServiceResolved.Connect(this, &TAvahiAdapter::OnQueryServiceResolved);
    QueryCrawler->ServiceRemoved.Connect(this, &TAvahiAdapter::OnQueryServiceRemoved);
    RegCrawler->ServiceResolved.Connect(this, &TAvahiAdapter::OnRegServiceResolved);
    RegCrawler->ServiceRemoved.Connect(this, &TAvahiAdapter::OnRegServiceRemoved);
    LegacyRegCrawler->ServiceResolved.Connect(this, &TAvahiAdapter::OnLegacyRegServiceResolved);
    LegacyRegCrawler->ServiceRemoved.Connect(this, &TAvahiAdapter::OnLegacyRegServiceRemoved);
    StartUnicast(host);
  }
  ~TAvahiAdapter() override {
    Unicast.reset();
    QueryCrawler->ServiceResolved.Disconnect(this);
    QueryCrawler->ServiceRemoved.Disconnect(this);
    RegCrawler->ServiceResolved.Disconnect(this);
    RegCrawler->ServiceRemoved.Disconnect(this);
    LegacyRegCrawler->ServiceResolved.Disconnect(this);
    LegacyRegCrawler->ServiceRemoved.Disconnect(this);
    AuthCrawler->ServiceResolved.Disconnect(this);
    AuthCrawler->ServiceRemoved.Disconnect(this);
    SystemCrawler->ServiceResolved.Disconnect(this);
    SystemCrawler->ServiceRemoved.Disconnect(this);
    HostResolver.reset();
    SystemCrawler.reset();
    AuthCrawler.reset();
    LegacyRegCrawler.reset();
    RegCrawler.reset();
    QueryCrawler.reset();
    Publisher.reset();
    Client.reset();
  }

  TAvahiPublisher* GetPublisher() { return Publisher.get(); }
  TAvahiHostResolver& HostNames() { return *HostResolver; }

private:
  enum TAPI { RegistrationAPI = 0, QueryAPI = 1 };

  void OnRegServiceResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
    Resolved(RegistrationAPI, 0, s, r);
  }
  void OnLegacyRegServiceResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
    Resolved(RegistrationAPI, 1, s, r);
  }
  void OnQueryServiceResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
    Resolved(QueryAPI, 0, s, r);
  }
  void OnRegServiceRemoved(const TAvahiService* s) {
    lws_log(QLLL_NOTICE, "MDNS RegService removed: %s (%s)", s->name.c_str(), RegisterType);
    Removed(RegistrationAPI, 0, s->name);
  }
  void OnLegacyRegServiceRemoved(const TAvahiService* s) {
    lws_log(QLLL_NOTICE, "MDNS RegService removed: %s (%s)", s->name.c_str(), LegacyRegisterType);
    Removed(RegistrationAPI, 1, s->name);
  }
  void OnQueryServiceRemoved(const TAvahiService* s) {
    lws_log(QLLL_NOTICE, "MDNS QueryService removed: %s", s->name.c_str());
    Removed(QueryAPI, 0, s->name);
  }

  // Authorization servers, for the check of access tokens (when the node protects an API and the
  // command line names no server).
  Qel_auth::TAuthServerKeys* AuthServers() {
    if (!Bridge || !Bridge->BoxConfig()->GetAuthServer().empty()) return nullptr;
    Qel_auth::TRequestAuthorizer* authorizer = Bridge->RestSrv().Authorizer();
    return authorizer ? &authorizer->Server() : nullptr;
  }
  void OnAuthServiceResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
    AuthResolved(s->name, r.Address.ToString(), r.Port, r.Text, PinnedHostName(r));
  }
  // An authorization server found by either source (unicast instances are named NAME.DOMAIN).
  void AuthResolved(const std::string& name, const std::string& addr, uint16_t port, AvahiStringList* text,
                    const std::string& host) {
    Qel_auth::TAuthServerKeys* servers = AuthServers();
    if (!servers) return;
    lws_log(QLLL_NOTICE, "AuthService resolved: %s Addr: %s: %u", name.c_str(), addr.c_str(), port);
    const TAuthTXT txt = ReadAuthTXT(text, Bridge->BoxConfig()->Secure());
    if (!txt.Usable) {
      lws_log(QLLL_WARN, "MDNS Service ignored: %s: %s", Printable(name).c_str(), txt.Refusal.c_str());
      servers->DelServer(name);
      return;
    }
    if (!host.empty()) {
      servers->Pin(host, port, addr);
      // The node's own token requests go to the same server, at the endpoints its metadata names.
      if (Qel_auth::TOAuthClient* client = Bridge->RestSrv().AuthClient()) client->Pin(host, port, addr);
    }
    servers->AddServer(
        name, txt.Proto + "://" + (host.empty() ? addr : host) + ":" + std::to_string(port) + txt.Selector,
        txt.Prio);
  }
  void OnAuthServiceRemoved(const TAvahiService* s) {
    lws_log(QLLL_NOTICE, "MDNS AuthService removed: %s", s->name.c_str());
    if (Qel_auth::TAuthServerKeys* servers = AuthServers()) servers->DelServer(s->name);
  }

  // System APIs (IS-09): those the node can use go to the system client, which picks one by priority.
  // Periodic resolution reports every instance again: a refusal is told when it is new.
  void OnSystemServiceResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
    if (!Bridge) return;
    const std::string addr = r.Address.ToString();
    lws_log(QLLL_NOTICE, "MDNS SystemService resolved: %s Addr: %s: %u", s->name.c_str(), addr.c_str(),
            r.Port);
    SystemResolved(s->name, addr, r.Port, r.Text, PinnedHostName(r));
  }
  // A System API found by either source (unicast instances are named NAME.DOMAIN).
  void SystemResolved(const std::string& name, const std::string& addr, uint16_t port, AvahiStringList* text,
                      const std::string& host) {
    const TSystemTXT txt = ReadSystemTXT(text, Bridge->BoxConfig()->Secure());
    std::string& told = SystemRefusals[name];
    if (!txt.Usable) {
      if (told != txt.Refusal)
        lws_log(QLLL_WARN, "DNS-SD Service ignored: %s: %s", Printable(name).c_str(), txt.Refusal.c_str());
      told = txt.Refusal;
      Bridge->SystemClient().DelSystemAPI(name);
      return;
    }
    SystemRefusals.erase(name);
    Bridge->SystemClient().AddSystemAPI(name, addr, port, host, txt.Prio);
  }
  void OnSystemServiceRemoved(const TAvahiService* s) {
    lws_log(QLLL_NOTICE, "MDNS SystemService removed: %s", s->name.c_str());
    SystemRefusals.erase(s->name);
    if (Bridge) Bridge->SystemClient().DelSystemAPI(s->name);
  }

  // A secure node reaches what DNS-SD finds by the SRV target, whose certificate names it, pinned to
  // the address the resolution gave; a plain node uses the address.
  std::string PinnedHostName(const TAvahiResolveResult& r) const {
    if (!Bridge || !Bridge->BoxConfig()->Secure()) return std::string();
    return UsableHostName(r.HostName ? r.HostName : "");
  }

  IQELNMOSBaseClient* ClientOf(TAPI api) {
    if (!Bridge) return nullptr;
    return api == RegistrationAPI ? &Bridge->RegClient().AsBC() : &Bridge->QueryClient().AsBC();
  }

  TDNSSDMode Mode() const { return Bridge ? Bridge->BoxConfig()->GetDNSSDMode() : TDNSSDMode::Multicast; }

  // Unicast DNS-SD in the configured domain, beside multicast DNS.
  void StartUnicast(TThread* host) {
    if (!Bridge || Mode() == TDNSSDMode::Multicast) return;
    const IQELNMOSConfig* config = Bridge->BoxConfig();
    TUnicastSettings settings{config->GetDNSSDDomain(), config->GetDNSServer(), config->GetResolvConf()};
    if (settings.Domain.empty()) {
      lws_log(QLLL_WARN,
              "Unicast DNS-SD is off: no DNS-SD domain (/dns-sd-domain, or a search domain in %s)%s",
              settings.ResolvConf.c_str(), Mode() == TDNSSDMode::Unicast ? "; no registry can be found" : "");
      return;
    }
    Unicast.reset(IQELUnicastBrowser::Create(host->Loop(), settings));
    if (!Unicast) return;
    BrowseUnicast(RegisterType, RegistrationAPI, 0);
    BrowseUnicast(LegacyRegisterType, RegistrationAPI, 1);
    BrowseUnicast(QueryType, QueryAPI, 0);
    Unicast->Browse(AuthType, [this](const TUnicastService& service, bool present) {
      const std::string name = service.Name + "." + service.Domain;
      if (!present) {
        if (Qel_auth::TAuthServerKeys* servers = AuthServers()) servers->DelServer(name);
        return;
      }
      const TTextList text(service.Text);
      AuthResolved(name, service.Address, service.Port, text.List, SecureHostName(service.HostName));
    });
    Unicast->Browse(SystemType, [this](const TUnicastService& service, bool present) {
      const std::string name = service.Name + "." + service.Domain;
      if (!present) {
        SystemRefusals.erase(name);
        Bridge->SystemClient().DelSystemAPI(name);
        return;
      }
      const TTextList text(service.Text);
      SystemResolved(name, service.Address, service.Port, text.List, SecureHostName(service.HostName));
    });
  }

  std::string SecureHostName(const std::string& srvTarget) const {
    return Bridge && Bridge->BoxConfig()->Secure() ? UsableHostName(srvTarget) : std::string();
  }

  void BrowseUnicast(const char* type, TAPI api, int slot) {
    Unicast->Browse(type, [this, api, slot](const TUnicastService& service, bool present) {
      // Named apart from multicast DNS's instances, which never go by a dotted domain.
      const std::string name = service.Name + "." + service.Domain;
      if (!present) {
        lws_log(QLLL_NOTICE, "Unicast DNS-SD: %s removed (%s)", name.c_str(), service.Type.c_str());
        Removed(SourceUnicast, api, slot, name);
        return;
      }
      const TTextList text(service.Text);
      Resolved(SourceUnicast, api, slot, name, service.Address, service.Port, text.List,
               SecureHostName(service.HostName));
    });
  }

  void Resolved(TAPI api, int slot, const TAvahiService* s, const TAvahiResolveResult& r) {
    Resolved(SourceMulticast, api, slot, s->name, r.Address.ToString(), r.Port, r.Text, PinnedHostName(r));
  }

  void Resolved(TDiscoverySource source, TAPI api, int slot, const std::string& name, const std::string& addr,
                uint16_t port, AvahiStringList* text, const std::string& host) {
    lws_log(QLLL_NOTICE, "%s: service resolved: %s Addr: %s: %u", SourceText(source), name.c_str(),
            addr.c_str(), port);
    const IQELNMOSConfig* config = Bridge ? Bridge->BoxConfig() : nullptr;
    const TRegistryTXT txt =
        ReadRegistryTXT(text, config && config->Secure(), config && config->GetProtectedAPIs() != 0);
    TSeenInstance& instance = APIs[api].Found[source][name];
    // Periodic resolution reports every instance again: a refusal is told when it is new.
    if (txt.Refusal != instance.Refusal[slot] && !txt.Refusal.empty())
      lws_log(QLLL_WARN, "%s Service ignored: %s: %s", source == SourceUnicast ? "Unicast DNS-SD" : "MDNS",
              Printable(name).c_str(), txt.Refusal.c_str());
    instance.Refusal[slot] = txt.Refusal;
    if (txt.Usable)
      instance.Seen[slot] = TOffer{addr, port, txt.Prio, txt.Version, host};
    else
      instance.Seen[slot].reset();
    Update(api);
  }

  void Removed(TAPI api, int slot, const std::string& name) { Removed(SourceMulticast, api, slot, name); }
  void Removed(TDiscoverySource source, TAPI api, int slot, const std::string& name) {
    auto& found = APIs[api].Found[source];
    auto it = found.find(name);
    if (it == found.end()) return;
    it->second.Seen[slot].reset();
    it->second.Refusal[slot].clear();
    if (it->second.Empty()) found.erase(it);
    Update(api);
  }

  // What the preferred source finds is offered: an instance whose address, port, priority or version
  // changed replaces its entry, one no longer wanted (gone, unusable, or of the other source) is
  // withdrawn; re-resolution of an unchanged one leaves it be.
  void Update(TAPI api) {
    const TDNSSDMode mode = Mode();
    const TDiscoverySource source = APIs[api].InUse(mode);
    const std::map<std::string, TOffer> wanted = APIs[api].Wanted(mode);
    if (!InUse[api] || *InUse[api] != source) {
      if (InUse[api] || source == SourceUnicast)
        lws_log(QLLL_WARN, "%s: those found by %s are used",
                api == RegistrationAPI ? "Registration APIs" : "Query APIs", SourceText(source));
      InUse[api] = source;
    }
    IQELNMOSBaseClient* client = ClientOf(api);
    std::map<std::string, TOffer>& offered = Offered[api];
    for (auto it = offered.begin(); it != offered.end();) {
      auto w = wanted.find(it->first);
      if (w != wanted.end() && w->second == it->second) {
        ++it;
        continue;
      }
      if (client) Withdraw(*client, it->first);
      it = offered.erase(it);
    }
    for (const auto& entry : wanted) {
      if (offered.count(entry.first)) continue;
      const TOffer& offer = entry.second;
      if (client)
        client->AddAPI(offer.Addr.c_str(), offer.Port, offer.Prio,
                       api == RegistrationAPI ? NMOSRegisterURI : NMOSQueryURI, entry.first, offer.Version,
                       offer.Host);
      offered.emplace(entry.first, offer);
    }
  }

  static void Withdraw(IQELNMOSBaseClient& client, const std::string& name) {
    while (client.DelAPI(name)) {
    }
  }

  IQELNMOSBridge* Bridge;
  std::unique_ptr<TAvahiClient> Client;
  std::unique_ptr<TAvahiCrawler> QueryCrawler;
  std::unique_ptr<TAvahiCrawler> RegCrawler;
  std::unique_ptr<TAvahiCrawler> LegacyRegCrawler;
  std::unique_ptr<TAvahiCrawler> AuthCrawler;
  std::unique_ptr<TAvahiCrawler> SystemCrawler;
  std::unique_ptr<TAvahiPublisher> Publisher;
  std::unique_ptr<TAvahiHostResolver> HostResolver;
  TUnicastBrowserPtr Unicast;
  TAPIInstances APIs[2];
  std::map<std::string, TOffer> Offered[2];
  std::optional<TDiscoverySource> InUse[2];
  std::map<std::string, std::string> SystemRefusals; // the last reason told per System API instance
};

AvahiStringList* NodeTextList(const IQELNMOSConfig* config) {
  AvahiStringList* list = nullptr;
  const std::vector<std::string> records =
      NodeTXTRecords(config->Secure(), config->GetProtectedAPIs() & ProtectNodeAPI);
  for (auto it = records.rbegin(); it != records.rend(); ++it) // adds at the front: keep the order
    list = avahi_string_list_add(list, it->c_str());
  return list;
}

struct TMDNSBridgeData {
  TMDNSBridgeData(IQELNMOSBridge* bridge)
      : NMOSBridge(bridge), Adapter(bridge, &bridge->ServiceHost()),
        NodeTextRecords(NodeTextList(bridge->BoxConfig())) {}
  ~TMDNSBridgeData() { avahi_string_list_free(NodeTextRecords); }
  TMDNSBridgeData(const TMDNSBridgeData&) = delete;
  TMDNSBridgeData& operator=(const TMDNSBridgeData&) = delete;

  IQELNMOSBridge* NMOSBridge;
  TAvahiAdapter Adapter;
  AvahiStringList* NodeTextRecords;
};

class TQELMDNSBridge : public IQELMDNSBridge {
public:
  explicit TQELMDNSBridge(IQELNMOSBridge* bridge) : FData(new TMDNSBridgeData(bridge)) {}
  ~TQELMDNSBridge() override {
    FData->Adapter.GetPublisher()->StopPublishing();
    delete FData;
  }
  TQELMDNSBridge(const TQELMDNSBridge&) = delete;
  TQELMDNSBridge& operator=(const TQELMDNSBridge&) = delete;

  void Destroy() override { delete this; }

  void SetNodeName(const std::string& name) override {
    FData->Adapter.GetPublisher()->Publish(name, FData->NMOSBridge->BoxConfig()->GetBridgePort(),
                                           AVAHI_IF_UNSPEC, AdvertisementType, SubType,
                                           FData->NodeTextRecords);
  }

  uint32_t GetState() override { return FData->Adapter.GetPublisher()->GetStatus(); }

  uint64_t ResolveHostName(const std::string& name, TDone done) override {
    std::string plain = name;
    if (!plain.empty() && plain.back() == '.') plain.pop_back();
    return FData->Adapter.HostNames().Resolve(plain, [done = std::move(done)](const THostAddress& address) {
      done(address.IsNull() ? std::string() : address.ToString());
    });
  }
  void CancelHostName(uint64_t id) override { FData->Adapter.HostNames().Cancel(id); }

private:
  TMDNSBridgeData* FData;
};

} // namespace

namespace {

bool SameKey(const std::string& key, const char* wanted) {
  if (key.size() != strlen(wanted)) return false;
  for (size_t i = 0; i < key.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(key[i])) != wanted[i]) return false;
  return true;
}

// One TXT record, "key=value"; a record without "=" is a key without a value.
struct TTXTRecord {
  std::string Text, Key, Value;
  bool HasValue = false;
  explicit TTXTRecord(AvahiStringList* t)
      : Text(reinterpret_cast<const char*>(avahi_string_list_get_text(t)), avahi_string_list_get_size(t)) {
    const size_t eq = Text.find('=');
    Key = Text.substr(0, eq);
    HasValue = eq != std::string::npos;
    if (HasValue) Value = Text.substr(eq + 1);
  }
};

std::string NodeVersions(const char* separator) {
  std::string list;
  for (const char* version : IS04Versions)
    list += (list.empty() ? "" : separator) + std::string(version);
  return list;
}

} // namespace

std::vector<std::string> NodeTXTRecords(bool secure, bool authorized) {
  return {secure ? "api_proto=https" : "api_proto=http", "api_ver=" + NodeVersions(","),
          authorized ? "api_auth=true" : "api_auth=false"};
}

std::string UsableHostName(const std::string& srvTarget) {
  std::string name = srvTarget;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return std::string();
  size_t label = 0;
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '.') {
      if (label == 0) return std::string();
      label = 0;
      continue;
    }
    if (!std::isalnum(u) && c != '-') return std::string();
    if (++label > 63) return std::string();
    c = static_cast<char>(std::tolower(u));
  }
  return label ? name : std::string();
}

TAuthTXT ReadAuthTXT(AvahiStringList* txt, bool secure) {
  TAuthTXT out;
  bool seenPri = false, seenVer = false, seenProto = false, seenSelector = false;
  auto refuse = [&](const std::string& why) {
    if (out.Usable) out.Refusal = why;
    out.Usable = false;
  };
  for (AvahiStringList* t = txt; t; t = avahi_string_list_get_next(t)) {
    const TTXTRecord record(t);
    const std::string& key = record.Key;
    const std::string& value = record.Value;
    if (SameKey(key, "pri") && !seenPri) {
      seenPri = true;
      if (!ParsePriority(value, out.Prio))
        refuse("priority \"" + Printable(value) + "\" is not a whole number");
    } else if (SameKey(key, "api_ver") && !seenVer) {
      seenVer = true;
      bool v10 = false;
      size_t start = 0;
      while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        v10 = v10 || value.substr(start, end - start) == "v1.0";
        start = end + 1;
      }
      if (!v10) refuse("api_ver \"" + Printable(value) + "\" does not name v1.0");
    } else if (SameKey(key, "api_proto") && !seenProto) {
      seenProto = true;
      out.Proto = value;
      if (value != "https" && (secure || value != "http"))
        refuse("unsupported protocol \"" + Printable(value) + "\"");
    } else if (SameKey(key, "api_selector") && !seenSelector) {
      seenSelector = true;
      // A path of plain segments, to follow the metadata's well-known path.
      const bool plain = std::all_of(value.begin(), value.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '/';
      });
      if (!plain || value.find("..") != std::string::npos)
        refuse("malformed api_selector");
      else if (!value.empty())
        out.Selector = "/" + value;
    }
  }
  if (!seenVer || !seenProto || !seenPri) refuse("api_ver, api_proto or pri missing");
  return out;
}

TSystemTXT ReadSystemTXT(AvahiStringList* txt, bool secure) {
  const std::string proto = secure ? "https" : "http";
  TSystemTXT out;
  bool seenPri = false, seenVer = false, seenProto = false, seenAuth = false;
  auto refuse = [&](const std::string& why) {
    if (out.Usable) out.Refusal = why;
    out.Usable = false;
  };
  for (AvahiStringList* t = txt; t; t = avahi_string_list_get_next(t)) {
    const TTXTRecord record(t);
    lws_log(QLLL_AVAHI, "\tTXT %s", Printable(record.Text).c_str());
    const std::string& key = record.Key;
    const std::string& value = record.Value;
    if (SameKey(key, "pri") && !seenPri) {
      seenPri = true;
      if (!record.HasValue || !ParsePriority(value, out.Prio))
        refuse("priority \"" + Printable(value) + "\" is not a whole number from 0 to 65535");
    } else if (SameKey(key, "api_ver") && !seenVer) {
      seenVer = true;
      bool v10 = false;
      size_t start = 0;
      while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        v10 = v10 || value.compare(start, end - start, "v1.0") == 0;
        start = end + 1;
      }
      if (!v10) refuse("api_ver \"" + Printable(value) + "\" does not name v1.0");
    } else if (SameKey(key, "api_proto") && !seenProto) {
      seenProto = true;
      if (value != proto)
        refuse("unsupported protocol \"" + Printable(value) + "\"" +
               (secure ? " (the node uses https only)" : " (the node uses http)"));
    } else if (SameKey(key, "api_auth") && !seenAuth) {
      seenAuth = true;
      if (value == "true") refuse("it requires authorization (api_auth \"true\")");
    }
  }
  if (!seenVer || !seenProto || !seenPri) refuse("api_ver, api_proto or pri missing");
  if (!out.Usable) out.Prio = 0;
  return out;
}

bool ParsePriority(const std::string& text, uint16_t& prio) {
  if (text.empty() || text.size() > 16) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > UINT16_MAX) return false;
  }
  prio = static_cast<uint16_t>(value);
  return true;
}

TRegistryTXT ReadRegistryTXT(AvahiStringList* txt, bool secure, bool tokens) {
  const std::string proto = secure ? "https" : "http";
  TRegistryTXT out;
  bool seenPri = false, seenVer = false, seenProto = false, seenAuth = false;
  auto refuse = [&](const std::string& why) {
    if (out.Usable) out.Refusal = why;
    out.Usable = false;
  };
  for (AvahiStringList* t = txt; t; t = avahi_string_list_get_next(t)) {
    const TTXTRecord record(t);
    lws_log(QLLL_AVAHI, "\tTXT %s", Printable(record.Text).c_str());
    const std::string& key = record.Key;
    const bool hasValue = record.HasValue;
    const std::string& value = record.Value;
    // Only the first record of a key counts.
    if (SameKey(key, "pri") && !seenPri) {
      seenPri = true;
      if (!hasValue || !ParsePriority(value, out.Prio)) {
        out.Prio = 0;
        refuse("priority \"" + Printable(value) + "\" is not a whole number from 0 to 65535");
      }
    } else if (SameKey(key, "api_ver") && !seenVer) {
      seenVer = true;
      if (!ChooseIS04Version(value, out.Version))
        refuse("api_ver \"" + Printable(value) + "\" names none of the node's IS-04 versions (" +
               NodeVersions(", ") + ")");
    } else if (SameKey(key, "api_proto") && !seenProto) {
      seenProto = true;
      if (value != proto)
        refuse("unsupported protocol \"" + Printable(value) + "\"" +
               (secure ? " (the node uses https only)" : " (the node uses http)"));
    } else if (SameKey(key, "api_auth") && !seenAuth) {
      seenAuth = true;
      if (tokens && value != "true" && value != "false")
        refuse("api_auth \"" + Printable(value) + "\" is neither true nor false");
      else if (!tokens && RequiresAuthorization(value))
        refuse("it requires authorization (api_auth \"" + Printable(value) +
               "\"), which the node does not do without /auth");
    }
  }
  // Without the record the API is plain http (IS-04), which a secure node does not use.
  if (!seenProto && secure) refuse("no api_proto: plain http, and the node uses https only");
  if (!out.Usable) {
    out.Prio = 0;
    out.Version.clear();
  }
  return out;
}

IQELMDNSBridge* IQELMDNSBridge::Create(IQELNMOSBridge* bridge) {
  return new TQELMDNSBridge(bridge);
}

} // namespace Qel_nmos_bridge
