// Where a Query API subscription's websocket is: the address the registry answered in "ws_href".
#include "NMOSQuerySubscription.h"

#include <gtest/gtest.h>

using namespace Qel_nmos_bridge;

TEST(SubscriptionTarget, TheWebsocketIsWhereTheRegistrySaysWithTheEndpointsPortAsDefault) {
  struct Case {
    const char* Href;
    bool Ok;
    const char* Host;
    uint16_t Port;
    const char* Path;
  };
  const Case cases[] = {
      {"ws://10.0.0.5:4000/x-nmos/query/v1.2/subscriptions/abc/ws", true, "10.0.0.5", 4000,
       "/x-nmos/query/v1.2/subscriptions/abc/ws"},
      {"ws://registry.local/x-nmos/query/v1.2/ws/?uid=1f2e&x=y", true, "registry.local", 8080,
       "/x-nmos/query/v1.2/ws/?uid=1f2e&x=y"},
      {"ws://10.0.0.5:4000", true, "10.0.0.5", 4000, "/"},
      {"wss://10.0.0.5:4000/ws", false, "", 0, ""}, // secure websockets are not asked for
      {"http://10.0.0.5:4000/ws", false, "", 0, ""},
      {"ws:///no-host", false, "", 0, ""},
      {"ws://10.0.0.5:99999/ws", false, "", 0, ""},
      {"ws://10.0.0.5:0/ws", false, "", 0, ""},
      {"not a url at all", false, "", 0, ""},
      {"", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    std::string host, path;
    uint16_t port = 0;
    const bool ok = SubscriptionTarget(c.Href, 8080, host, port, path);
    EXPECT_EQ(ok, c.Ok) << c.Href;
    if (!ok || !c.Ok) continue;
    EXPECT_EQ(host, c.Host) << c.Href;
    EXPECT_EQ(port, c.Port) << c.Href;
    EXPECT_EQ(path, c.Path) << c.Href;
  }
}
