#include "MDNSBridge.h"

#include "AvahiClient.h"
#include "AvahiCrawler.h"
#include "AvahiPublisher.h"
#include "NMOSBaseClient.h"
#include "NMOSBridge_API.h"
#include "NMOSQueryClient.h"
#include "NMOSRegClient.h"
#include "helpers.h"

#include <cstdlib>
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

bool StartsWith(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

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
    if (!AcceptRegistryTXT(s->name.c_str(), r.Text, prio) || !client) return;
    client->AddAPI(addr.c_str(), r.Port, prio, uri, s->name);
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

bool AcceptRegistryTXT(const char* instance, AvahiStringList* txt, uint16_t& prio) {
  prio = 0;
  for (AvahiStringList* t = txt; t; t = avahi_string_list_get_next(t)) {
    const std::string record(reinterpret_cast<const char*>(avahi_string_list_get_text(t)),
                             avahi_string_list_get_size(t));
    const char* text = record.c_str();
    lws_log(QLLL_AVAHI, "\tTXT %s", text);
    if (record.size() >= 4 && StartsWith(text, "pri=")) {
      prio = static_cast<uint16_t>(strtol(text + 4, nullptr, 10));
    } else if (record.size() >= 8 && StartsWith(text, "api_ver=")) {
      if (!strstr(text + 8, "v1.2")) {
        lws_log(QLLL_AVAHI, "MDNS Service ignored: %s: unsupported API version", instance);
        return false;
      }
    } else if (record.size() >= 10 && StartsWith(text, "api_proto=")) {
      if (strcmp(text + 10, "http") != 0) {
        lws_log(QLLL_AVAHI, "MDNS Service ignored: %s: unsupported protocol", instance);
        return false;
      }
    }
  }
  return true;
}

IQELMDNSBridge* IQELMDNSBridge::Create(IQELNMOSBridge* bridge) {
  return new TQELMDNSBridge(bridge);
}

} // namespace Qel_nmos_bridge
