// The route table of the Node API and the Connection API: which route each URL reaches and with which
// parameters, and the URLs no route may reach (versions not served, ids that are not one segment,
// sub-paths one kind of resource has and another has not).
#include "APIRoutes.h"
#include "NMOSAPIHandlers.h"

#include <gtest/gtest.h>

using namespace Qel_rest_srv;
using namespace Qel_nmos_bridge;

namespace {

const std::string Id = "5e7de700-0000-4000-8000-000000000001";

class APIRouteTable : public testing::Test {
protected:
  // Every resource exists: what is matched here is the URL, not the store.
  TRouteTable Table{APIRouteList(), [](IQELNMOSBridge&, const char*, const std::string&) { return true; }};

  TRouteMatch Match(const std::string& uri) {
    TRouteMatch match;
    EXPECT_TRUE(Table.Match(uri, match)) << uri;
    return match;
  }
};

TEST_F(APIRouteTable, EachURLReachesItsHandlerWithTheKindVersionAndIdOfTheURL) {
  struct TCase {
    std::string URI;
    TRouteHandler Handler;
    const char* Kind;
    const char* Version;
    std::string Id;
  };
  const TCase cases[] = {
      {"/stats", ShowStats, "", "", ""},
      {"/x-nmos/node/v1.0/self", ShowNode, "self", "v1.0", ""},
      {"/x-nmos/node/v1.3/self", ShowNode, "self", "v1.3", ""},
      {"/x-nmos/node/v1.2/flows", ListNodes, "flows", "v1.2", ""},
      {"/x-nmos/node/v1.0/devices/" + Id, ShowNode, "devices", "v1.0", Id},
      {"/x-nmos/node/v1.2/senders/" + Id, ShowNode, "senders", "v1.2", Id},
      {"/x-nmos/node/v1.0/receivers/" + Id + "/target", HandleConnection_IS04, "receivers", "v1.0", Id},
      {"/x-nmos/connection/v1.0/bulk/receivers", HandleConnection_Bulk_Receivers, "receivers", "v1.0", ""},
      {"/x-nmos/connection/v1.0/single/senders", ListUUIDs, "senders", "v1.0", ""},
      {"/x-nmos/connection/v1.0/single/senders/" + Id + "/transportfile",
       HandleConnection_Single_Sender_TransportFile, "senders", "v1.0", Id},
      {"/x-nmos/connection/v1.0/single/receivers/" + Id + "/staged", HandleConnection_Single_Receiver_Staged,
       "receivers", "v1.0", Id},
      {"/x-nmos/connection/v1.0/single/senders/" + Id + "/staged", HandleConnection_Single_Sender_Staged,
       "senders", "v1.0", Id},
      {"/x-nmos/connection/v1.1/single/receivers/" + Id + "/active", HandleConnection_Single_Receiver_Active,
       "receivers", "v1.1", Id},
      // The endpoints of one resource differ by version: a handler lists them.
      {"/x-nmos/connection/v1.0/single/receivers/" + Id, HandleConnection_Single_Receiver, "receivers",
       "v1.0", Id},
      {"/x-nmos/connection/v1.1/single/senders/" + Id, HandleConnection_Single_Sender, "senders", "v1.1", Id},
      {"/x-nmos/connection/v1.1/single/senders/" + Id + "/transporttype",
       HandleConnection_Single_TransportType, "senders", "v1.1", Id},
      {"/x-nmos/connection/v1.1/single/receivers/" + Id + "/transporttype",
       HandleConnection_Single_TransportType, "receivers", "v1.1", Id},
  };
  for (const TCase& c : cases) {
    const TRouteMatch match = Match(c.URI);
    ASSERT_TRUE(match.Route) << c.URI;
    EXPECT_EQ(match.Route->Handler, c.Handler) << c.URI;
    EXPECT_STREQ(match.Route->Kind, c.Kind) << c.URI;
    EXPECT_EQ(match.Version, c.Version) << c.URI;
    EXPECT_EQ(match.Id, c.Id) << c.URI;
  }
}

TEST_F(APIRouteTable, TheTreeListsAreFixedTextsAndNameTheVersionsServed) {
  const std::pair<const char*, const char*> texts[] = {
      {"", "[\"x-nmos\", \"stats\", \"status\"]"},
      {"/x-nmos", "[\"node/\", \"connection/\"]"},
      {"/x-nmos/node", "[\"v1.0/\", \"v1.2/\", \"v1.3/\"]"},
      {"/x-nmos/node/v1.0",
       "[\"self/\", \"devices/\", \"senders/\", \"receivers/\", \"flows/\", \"sources/\"]"},
      {"/x-nmos/connection", "[\"v1.0/\", \"v1.1/\"]"},
      {"/x-nmos/connection/v1.1/single", "[\"senders/\", \"receivers/\"]"},
  };
  for (const auto& [uri, text] : texts) {
    const TRouteMatch match = Match(uri);
    ASSERT_TRUE(match.Route) << uri;
    EXPECT_EQ(match.Route->Handler, nullptr) << uri;
    EXPECT_EQ(match.Route->Text, text) << uri;
  }
}

TEST_F(APIRouteTable, NoRouteForVersionsNotServedIdsOfMoreThanOneSegmentOrSubPathsOfAnotherKind) {
  const std::string misses[] = {
      "/x-nmos/node/v1.1/self",
      "/x-nmos/node/v1.4",
      "/x-nmos/connection/v1.2/single",
      // The transport type came with v1.1.
      "/x-nmos/connection/v1.0/single/senders/" + Id + "/transporttype",
      "/x-nmos/connection/v1.0/single/receivers/" + Id + "/transporttype",
      "/x-nmos/node/{version}/self",
      "/x-nmos/node/v1.2/senders/" + Id + "/target",
      "/x-nmos/connection/v1.0/single/receivers/" + Id + "/transportfile",
      "/x-nmos/node/v1.2/senders/" + Id + "/extra",
      "/x-nmos/node/v1.2/self/extra",
      "/x-nmos/node/v1.2/senders//target",
      "/x-nmos//node",
      "//x-nmos",
      "x-nmos",
      "*",
      "/X-NMOS",
      "/x-nmos/node/v1.2/nodes",
      "/x-nmos/connection/v1.0/single/senders/a/b/c/d/e/f/g/h",
      "/",
  };
  for (const std::string& uri : misses) {
    TRouteMatch match;
    EXPECT_FALSE(Table.Match(uri, match)) << uri;
  }
}

} // namespace
