// Publishing of one service of this host through an entry group, again after every daemon restart.
#pragma once

#include "Object.h"

#include <avahi-client/publish.h>

#include <string>

class TAvahiClient;

class TAvahiPublisher {
public:
  enum Status { Stopped = 0, Established = 1, Collision = 2, Failure = 3, Uncommited = 4, Registering = 5 };

  explicit TAvahiPublisher(TAvahiClient* c);
  ~TAvahiPublisher();
  TAvahiPublisher(const TAvahiPublisher&) = delete;
  TAvahiPublisher& operator=(const TAvahiPublisher&) = delete;

  TSignal<void> Conflicted; // the name is taken on the network; no other name is tried

  // The TXT list stays the caller's and must live while it is published.
  void Publish(const std::string& sname, uint16_t sport, AvahiIfIndex ifindex, const std::string& stype,
               const std::string& ssubtype, AvahiStringList* txt_records);
  // Publishes the stored service again (once the client runs); an empty name withdraws it.
  void Publish();
  void StopPublishing();
  Status GetStatus() const { return state; }
  // Drops the entry group (the daemon went away).
  void Reset();

private:
  static void avahi_publish_callback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata);

  TAvahiClient* client;
  AvahiEntryGroup* entry_group = nullptr;
  std::string name;
  std::string type;
  std::string subtype;
  uint16_t port = 0;
  AvahiIfIndex interface = AVAHI_IF_UNSPEC;
  AvahiStringList* txt = nullptr;
  Status state = Stopped;
};
