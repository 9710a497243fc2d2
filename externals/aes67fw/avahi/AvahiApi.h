// The Avahi client library calls this layer makes, as one table of functions. The program uses the
// library itself; tests put a table of their own in its place to play the daemon's part.
#pragma once

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>

struct TAvahiApi {
  AvahiClient* (*client_new)(const AvahiPoll*, AvahiClientFlags, AvahiClientCallback, void*, int*);
  void (*client_free)(AvahiClient*);
  int (*client_errno)(AvahiClient*);

  AvahiServiceBrowser* (*service_browser_new)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*,
                                              const char*, AvahiLookupFlags, AvahiServiceBrowserCallback,
                                              void*);
  int (*service_browser_free)(AvahiServiceBrowser*);

  AvahiServiceResolver* (*service_resolver_new)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*,
                                                const char*, const char*, AvahiProtocol, AvahiLookupFlags,
                                                AvahiServiceResolverCallback, void*);
  int (*service_resolver_free)(AvahiServiceResolver*);

  AvahiHostNameResolver* (*host_name_resolver_new)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*,
                                                   AvahiProtocol, AvahiLookupFlags,
                                                   AvahiHostNameResolverCallback, void*);
  int (*host_name_resolver_free)(AvahiHostNameResolver*);

  AvahiEntryGroup* (*entry_group_new)(AvahiClient*, AvahiEntryGroupCallback, void*);
  int (*entry_group_free)(AvahiEntryGroup*);
  int (*entry_group_reset)(AvahiEntryGroup*);
  int (*entry_group_commit)(AvahiEntryGroup*);
  int (*entry_group_add_service_strlst)(AvahiEntryGroup*, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags,
                                        const char*, const char*, const char*, const char*, uint16_t,
                                        AvahiStringList*);
  int (*entry_group_add_service_subtype)(AvahiEntryGroup*, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags,
                                         const char*, const char*, const char*, const char*);
};

// The table in use: the library's unless a test has put another in place.
const TAvahiApi& AvahiApi();
// Puts `api` in place of the library (null: the library again); returns the table used before.
const TAvahiApi* SetAvahiApi(const TAvahiApi* api);
// The library's own table.
const TAvahiApi& AvahiLibraryApi();
