#include "AvahiApi.h"

namespace {

const TAvahiApi LibraryApi = {
    avahi_client_new,
    avahi_client_free,
    avahi_client_errno,
    avahi_service_browser_new,
    avahi_service_browser_free,
    avahi_service_resolver_new,
    avahi_service_resolver_free,
    avahi_host_name_resolver_new,
    avahi_host_name_resolver_free,
    avahi_entry_group_new,
    avahi_entry_group_free,
    avahi_entry_group_reset,
    avahi_entry_group_commit,
    avahi_entry_group_add_service_strlst,
    avahi_entry_group_add_service_subtype,
};

const TAvahiApi* CurrentApi = &LibraryApi;

} // namespace

const TAvahiApi& AvahiApi() {
  return *CurrentApi;
}

const TAvahiApi* SetAvahiApi(const TAvahiApi* api) {
  const TAvahiApi* before = CurrentApi;
  CurrentApi = api ? api : &LibraryApi;
  return before == &LibraryApi ? nullptr : before;
}

const TAvahiApi& AvahiLibraryApi() {
  return LibraryApi;
}
