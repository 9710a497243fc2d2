#include "AvahiPublisher.h"
#include "AvahiApi.h"
#include "AvahiClient.h"
#include "helpers.h"

#include <avahi-common/error.h>

#include <cstdio>

namespace {

void PrintError(int error) {
  if (error < 0) {
    lws_log(QLLL_ERR | QLLL_AVAHI, "Avahi publisher: %s", avahi_strerror(error));
  }
}

} // namespace

TAvahiPublisher::TAvahiPublisher(TAvahiClient* c) : client(c) {
  client->Register(this);
}

TAvahiPublisher::~TAvahiPublisher() {
  client->Unregister(this);
  Reset();
}

void TAvahiPublisher::Publish(const std::string& sname, uint16_t sport, AvahiIfIndex ifindex,
                              const std::string& stype, const std::string& ssubtype,
                              AvahiStringList* txt_records) {
  name = sname;
  port = sport;
  interface = ifindex;
  type = stype;
  subtype = ssubtype;
  txt = txt_records;
  Publish();
}

void TAvahiPublisher::Publish() {
  if (client->Status() != TAvahiClient::Running) return; // published once the client runs
  const TAvahiApi& api = AvahiApi();
  if (name.empty()) {
    if (entry_group) PrintError(api.entry_group_reset(entry_group));
    return;
  }
  if (!entry_group) {
    entry_group = api.entry_group_new(client->Handle(), avahi_publish_callback, this);
    if (!entry_group) {
      PrintError(api.client_errno(client->Handle()));
      return;
    }
  } else {
    PrintError(api.entry_group_reset(entry_group));
  }
  PrintError(api.entry_group_add_service_strlst(entry_group, interface, AVAHI_PROTO_INET,
                                                static_cast<AvahiPublishFlags>(0), name.c_str(), type.c_str(),
                                                nullptr, nullptr, port, txt));
  if (!subtype.empty())
    PrintError(api.entry_group_add_service_subtype(entry_group, interface, AVAHI_PROTO_INET,
                                                   static_cast<AvahiPublishFlags>(0), name.c_str(),
                                                   type.c_str(), nullptr, subtype.c_str()));
  PrintError(api.entry_group_commit(entry_group));
}

void TAvahiPublisher::StopPublishing() {
  name.clear();
  type.clear();
  subtype.clear();
  port = 0;
  interface = AVAHI_IF_UNSPEC;
  if (entry_group) PrintError(AvahiApi().entry_group_reset(entry_group));
}

void TAvahiPublisher::Reset() {
  if (entry_group) AvahiApi().entry_group_free(entry_group);
  entry_group = nullptr;
  state = Stopped;
}

void TAvahiPublisher::avahi_publish_callback(AvahiEntryGroup* g, AvahiEntryGroupState s, void* userdata) {
  auto* self = static_cast<TAvahiPublisher*>(userdata);
  // The first state arrives inside avahi_entry_group_new, before the group is known here.
  self->entry_group = g;
  switch (s) {
  case AVAHI_ENTRY_GROUP_UNCOMMITED:
    self->state = Uncommited;
    break;
  case AVAHI_ENTRY_GROUP_REGISTERING:
    self->state = Registering;
    break;
  case AVAHI_ENTRY_GROUP_ESTABLISHED:
    self->state = Established;
    break;
  case AVAHI_ENTRY_GROUP_COLLISION:
    self->state = Collision;
    self->Conflicted.Emit();
    break;
  case AVAHI_ENTRY_GROUP_FAILURE:
    self->state = Failure;
    break;
  }
}
