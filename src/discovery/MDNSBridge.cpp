#include "MDNSBridge.h"

#include "AvahiClient.h"
#include "AvahiCrawler.h"
#include "AvahiPublisher.h"
#include "NMOSBaseClient.h"
#include "NMOSBridge_API.h"
#include "NMOSQueryClient.h"
#include "NMOSRegClient.h"
#include "helpers.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>

namespace Qel_nmos_bridge {

namespace {

const char* const NMOSRegisterURI = "/x-nmos/registration";
const char* const NMOSQueryURI = "/x-nmos/query";
const char* const AdvertisementType = "_nmos-node._tcp";
const char* const SubType = "";
const unsigned ResolverPoolSize = 5;

const char* const MNDS_ADVERT_NODE_STRINGS[] = {"api_proto=http", "api_ver=v1.2"};
const int MDNS_ADVERT_NODE_STRINGS_SIZE = 2;

// The Avahi objects of the bridge, on its service host's loop.
class TAvahiAdapter : public TObject {
public:
  TAvahiAdapter(IQELNMOSBridge* bridge, TThread* host)
      : TObject(host), Bridge(bridge), Client(std::make_unique<TAvahiClient>(host)),
        QueryCrawler(std::make_unique<TAvahiCrawler>(Client.get(), ResolverPoolSize, "_nmos-query._tcp", "")),
        RegCrawler(
            std::make_unique<TAvahiCrawler>(Client.get(), ResolverPoolSize, "_nmos-registration._tcp", "")),
        Publisher(std::make_unique<TAvahiPublisher>(Client.get())) {
    QueryCrawler->ServiceResolved.Connect(this, &TAvahiAdapter::OnQueryServiceResolved);
    QueryCrawler->ServiceRemoved.Connect(this, &TAvahiAdapter::OnQueryServiceRemoved);
    RegCrawler->ServiceResolved.Connect(this, &TAvahiAdapter::OnRegServiceResolved);
    RegCrawler->ServiceRemoved.Connect(this, &TAvahiAdapter::OnRegServiceRemoved);
  }
  ~TAvahiAdapter() override {
    QueryCrawler->ServiceResolved.Disconnect(this);
    QueryCrawler->ServiceRemoved.Disconnect(this);
    RegCrawler->ServiceResolved.Disconnect(this);
    RegCrawler->ServiceRemoved.Disconnect(this);
    RegCrawler.reset();
    QueryCrawler.reset();
    Publisher.reset();
    Client.reset();
  }

  TAvahiPublisher* GetPublisher() { return Publisher.get(); }

private:
  void OnRegServiceResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
    Offer(s, r, NMOSRegisterURI, Bridge ? &Bridge->RegClient().AsBC() : nullptr);
  }
  void OnQueryServiceResolved(const TAvahiService* s, const TAvahiResolveResult& r) {
    Offer(s, r, NMOSQueryURI, Bridge ? &Bridge->QueryClient().AsBC() : nullptr);
  }
  void OnRegServiceRemoved(const TAvahiService* s) {
    lws_log(QLLL_NOTICE, "MDNS RegService removed: %s", s->name.c_str());
    if (Bridge) Withdraw(Bridge->RegClient().AsBC(), s->name);
  }
  void OnQueryServiceRemoved(const TAvahiService* s) {
    lws_log(QLLL_NOTICE, "MDNS QueryService removed: %s", s->name.c_str());
    if (Bridge) Withdraw(Bridge->QueryClient().AsBC(), s->name);
  }

  static void Offer(const TAvahiService* s, const TAvahiResolveResult& r, const char* uri,
                    IQELNMOSBaseClient* client) {
    const std::string addr = r.Address.ToString();
    lws_log(QLLL_NOTICE, "MDNS Service resolved: %s Addr: %s: %u", s->name.c_str(), addr.c_str(), r.Port);
    uint16_t prio = 0;
    const bool usable = AcceptRegistryTXT(s->name.c_str(), r.Text, prio);
    if (!client) return;
    // An instance whose records no longer allow it (seen again by the periodic resolution) is dropped.
    if (usable)
      client->AddAPI(addr.c_str(), r.Port, prio, uri, s->name);
    else
      Withdraw(*client, s->name);
  }

  // A re-resolved instance whose port or priority changed has left an entry of each: all of them go.
  static void Withdraw(IQELNMOSBaseClient& client, const std::string& name) {
    while (client.DelAPI(name)) {
    }
  }

  IQELNMOSBridge* Bridge;
  std::unique_ptr<TAvahiClient> Client;
  std::unique_ptr<TAvahiCrawler> QueryCrawler;
  std::unique_ptr<TAvahiCrawler> RegCrawler;
  std::unique_ptr<TAvahiPublisher> Publisher;
};

struct TMDNSBridgeData {
  TMDNSBridgeData(IQELNMOSBridge* bridge)
      : NMOSBridge(bridge), Adapter(bridge, &bridge->ServiceHost()),
        NodeTextRecords(avahi_string_list_new_from_array(const_cast<const char**>(MNDS_ADVERT_NODE_STRINGS),
                                                         MDNS_ADVERT_NODE_STRINGS_SIZE)) {}
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

private:
  TMDNSBridgeData* FData;
};

} // namespace

namespace {

// A text from the network made fit for a log line: bytes that are not printable ASCII become '?'.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

bool SameKey(const std::string& key, const char* wanted) {
  if (key.size() != strlen(wanted)) return false;
  for (size_t i = 0; i < key.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(key[i])) != wanted[i]) return false;
  return true;
}

} // namespace

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

bool NamesVersion(const std::string& list, const std::string& version) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string item = list.substr(start, comma - start);
    const size_t first = item.find_first_not_of(" \t");
    if (first != std::string::npos && item.substr(first, item.find_last_not_of(" \t") - first + 1) == version)
      return true;
    start = comma + 1;
  }
  return false;
}

bool AcceptRegistryTXT(const char* instance, AvahiStringList* txt, uint16_t& prio) {
  prio = 0;
  bool seenPri = false, seenVer = false, seenProto = false;
  const char* refusal = nullptr;
  std::string badPriority;
  for (AvahiStringList* t = txt; t; t = avahi_string_list_get_next(t)) {
    const std::string record(reinterpret_cast<const char*>(avahi_string_list_get_text(t)),
                             avahi_string_list_get_size(t));
    lws_log(QLLL_AVAHI, "\tTXT %s", Printable(record).c_str());
    // "key=value"; a record without "=" is a key without a value.
    const size_t eq = record.find('=');
    const std::string key = record.substr(0, eq);
    const bool hasValue = eq != std::string::npos;
    const std::string value = hasValue ? record.substr(eq + 1) : std::string();
    // Only the first record of a key counts.
    if (SameKey(key, "pri") && !seenPri) {
      seenPri = true;
      if (!hasValue || !ParsePriority(value, prio)) {
        prio = 0;
        badPriority = value;
        if (!refusal) refusal = "priority";
      }
    } else if (SameKey(key, "api_ver") && !seenVer) {
      seenVer = true;
      if (!NamesVersion(value, "v1.2") && !refusal) refusal = "version";
    } else if (SameKey(key, "api_proto") && !seenProto) {
      seenProto = true;
      if (value != "http" && !refusal) refusal = "protocol";
    }
  }
  if (!refusal) return true;
  if (strcmp(refusal, "priority") == 0)
    lws_log(QLLL_WARN, "MDNS Service ignored: %s: priority \"%s\" is not a whole number from 0 to 65535",
            Printable(instance).c_str(), Printable(badPriority).c_str());
  else
    lws_log(QLLL_AVAHI, "MDNS Service ignored: %s: unsupported %s", instance,
            strcmp(refusal, "version") == 0 ? "API version" : "protocol");
  return false;
}

IQELMDNSBridge* IQELMDNSBridge::Create(IQELNMOSBridge* bridge) {
  return new TQELMDNSBridge(bridge);
}

} // namespace Qel_nmos_bridge
