// Browsing of one service type: the list of the instances currently visible, in order of discovery.
#pragma once

#include "Object.h"

#include <avahi-client/lookup.h>

#include <memory>
#include <string>
#include <unordered_map>

class TAvahiClient;
class TAvahiBrowser;

// One visible service instance. Instances are equal when name and interface are.
struct TAvahiService {
  TAvahiService(std::string n, AvahiIfIndex i, bool local, TAvahiBrowser* b)
      : name(std::move(n)), ifindex(i), is_local(local), browser(b) {}
  ~TAvahiService() { Removed.Emit(); }
  TAvahiService(const TAvahiService&) = delete;
  TAvahiService& operator=(const TAvahiService&) = delete;

  std::string name;
  AvahiIfIndex ifindex;
  unsigned is_local : 1; // published by this host
  TSignal<void> Removed; // the instance is about to be destroyed
  TAvahiBrowser* browser;
  TAvahiService* prev = nullptr;
  TAvahiService* next = nullptr;
};

class TAvahiBrowser : public TObject {
public:
  TAvahiBrowser(TAvahiClient* c, const std::string& service_type, const std::string& service_subtype);
  ~TAvahiBrowser() override;

  TSignal<const TAvahiService*> ServiceAdded;
  TSignal<const TAvahiService*> ServiceRemoved;

  TAvahiClient* Client() const { return client; }
  const std::string& Type() const { return type; }
  const std::string& Domain() const { return domain; }
  const TAvahiService* ServiceList() const { return first_service; }
  unsigned ServiceCount() const { return cnt; }
  // Moves an instance of this browser to the end of the list.
  void PushService(const TAvahiService* s);
  // Starts browsing again from nothing (once the client runs).
  void Browse();
  // Forgets every instance (reporting each removed) and stops browsing.
  void Reset();

private:
  static void browse_cb(AvahiServiceBrowser* b, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                        AvahiLookupResultFlags flags, void* userdata);
  TAvahiService* Find(const char* name, AvahiIfIndex ifindex);
  void Link(TAvahiService* s);
  void Unlink(TAvahiService* s);
  void Remove(TAvahiService* s);

  TAvahiClient* client;
  AvahiServiceBrowser* browser = nullptr;
  std::string domain = "local";
  std::string type;
  std::string subtype;
  unsigned cnt = 0;
  std::unordered_map<AvahiIfIndex, std::unordered_map<std::string, std::unique_ptr<TAvahiService>>> services;
  TAvahiService* first_service = nullptr;
  TAvahiService* last_service = nullptr;
};
