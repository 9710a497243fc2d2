// What each Connection API version lets a controller stage and what it serves of the same stored
// documents: externally defined ("ext_") parameters and whole transport files from v1.1 on.
#include "ConnectionViews.h"
#include "RequestChecks.h"

#include <gtest/gtest.h>

using namespace Qel_nmos_bridge;

TEST(ConnectionVersions, V11AddsExtParametersWholeTransportFilesAndTheTransportType) {
  const TConnectionRules v10 = ConnectionRules("v1.0"), v11 = ConnectionRules("v1.1"),
                         v110 = ConnectionRules("v1.10"), bad = ConnectionRules("1.1");
  EXPECT_FALSE(v10.ExtParams || v10.WholeTransportFile || v10.TransportType);
  EXPECT_TRUE(v11.ExtParams && v11.WholeTransportFile && v11.TransportType);
  EXPECT_TRUE(v110.ExtParams);
  EXPECT_FALSE(bad.ExtParams);
  for (const char* name : {"ext_a", "ext_Z9_", "ext__"})
    EXPECT_TRUE(IsExtParam(name)) << name;
  for (const char* name : {"ext_", "ext-a", "EXT_a", "ext_a-b", "ext_\xc3\xa4", "source_ip"})
    EXPECT_FALSE(IsExtParam(name)) << name;
}

TEST(ConnectionVersions, V10SeesTheStoredDocumentsWithoutExtParameters) {
  const json constraints = json::parse(R"([{"source_ip": {}, "ext_gain": {"enum": [1, 2]}}, {"ext_x": {}}])");
  EXPECT_EQ(ConstraintsView(constraints, "v1.1"), constraints);
  EXPECT_EQ(ConstraintsView(constraints, "v1.0"), json::parse(R"([{"source_ip": {}}, {}])"));
  const json active = json::parse(R"({"master_enable": true, "ext_top": 1,
      "transport_params": [{"destination_port": 5004, "ext_gain": 2}]})");
  EXPECT_EQ(ParamsView(active, "v1.1"), active);
  EXPECT_EQ(ParamsView(active, "v1.0"), json::parse(R"({"master_enable": true, "ext_top": 1,
      "transport_params": [{"destination_port": 5004}]})"));
  EXPECT_EQ(ParamsView(json(nullptr), "v1.0"), json(nullptr));
}

TEST(ConnectionVersions, StagedRequestsFollowTheRulesOfTheirVersion) {
  const TConnectionRules v10 = ConnectionRules("v1.0"), v11 = ConnectionRules("v1.1");
  std::string why;
  const json ext = json::parse(R"({"transport_params": [{"ext_gain": 2, "ext_name": "a", "ext_on": true,
                                                         "ext_none": null}]})");
  EXPECT_TRUE(CheckReceiverStage(ext, 1, v11, why)) << why;
  EXPECT_TRUE(CheckSenderStage(ext, 1, v11, why)) << why;
  EXPECT_FALSE(CheckReceiverStage(ext, 1, v10, why));
  EXPECT_FALSE(CheckSenderStage(ext, 1, v10, why));
  for (const char* refused :
       {R"({"transport_params": [{"ext_gain": [1]}]})", R"({"transport_params": [{"ext_gain": {}}]})",
        R"({"transport_params": [{"ext-gain": 1}]})"})
    EXPECT_FALSE(CheckReceiverStage(json::parse(refused), 1, v11, why)) << refused;
  // An ext_ parameter, as any other, is set only where the constraints name it.
  EXPECT_FALSE(CheckConstraints(ext["transport_params"], json::parse(R"([{"source_ip": {}}])"), why));
  EXPECT_TRUE(CheckConstraints(json::parse(R"([{"ext_gain": 2}])"),
                               json::parse(R"([{"ext_gain": {"minimum": 0, "maximum": 4}}])"), why))
      << why;
  // From v1.1 on a transport file names both its data and its type.
  const json half = json::parse(R"({"transport_file": {"data": "v=0\r\n"}})");
  EXPECT_TRUE(CheckReceiverStage(half, 1, v10, why)) << why;
  EXPECT_FALSE(CheckReceiverStage(half, 1, v11, why));
  EXPECT_TRUE(
      CheckReceiverStage(json::parse(R"({"transport_file": {"data": null, "type": null}})"), 1, v11, why))
      << why;
}
