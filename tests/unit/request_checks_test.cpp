// What a controller may stage: transport parameters against a resource's constraints, and TAI times.
#include "RequestChecks.h"

#include <gtest/gtest.h>

using namespace Qel_nmos_bridge;
using nlohmann::json;

TEST(RequestChecks, ParametersMustMeetTheirLegsConstraintsAndAutoAlwaysDoes) {
  const json constraints = json::parse(R"([{"destination_port": {"enum": [5004]},
      "destination_ip": {"pattern": "^(22[4-9]|23[0-9])\\."}, "source_port": {"minimum": 1000, "maximum": 2000},
      "rtp_enabled": {}, "interface_ip": {"pattern": "(["}}])");
  std::string why;
  EXPECT_TRUE(CheckConstraints(json::parse(R"([{"destination_port": 5004, "destination_ip": "239.1.2.3",
      "source_port": 1000, "rtp_enabled": false}])"),
                               constraints, why))
      << why;
  EXPECT_TRUE(CheckConstraints(json::parse(R"([{"destination_port": "auto", "source_port": "auto"}, {}])"),
                               constraints, why))
      << why;
  for (const char* refused : {R"([{"destination_port": 5006}])", R"([{"destination_port": "5004"}])",
                              R"([{"destination_ip": "10.0.0.1"}])", R"([{"source_port": 2001}])",
                              R"([{"source_port": 999}])", R"([{"fec_enabled": true}])",
                              // A constraint whose pattern is no regular expression admits nothing.
                              R"([{"interface_ip": "10.0.0.1"}])",
                              // A leg beyond the constraints has no parameters that could be set.
                              R"([{}, {"rtp_enabled": true}])"}) {
    why.clear();
    EXPECT_FALSE(CheckConstraints(json::parse(refused), constraints, why)) << refused;
    EXPECT_FALSE(why.empty()) << refused;
  }
}

TEST(RequestChecks, TAITimesAreSecondsAndNanosecondsWithinRange) {
  int64_t ns = 0;
  ASSERT_TRUE(ParseTAITime("0:200000000", ns));
  EXPECT_EQ(ns, 200000000);
  // Past 2038 with 64-bit arithmetic, also where time_t has 32 bits.
  ASSERT_TRUE(ParseTAITime("4294967296:999999999", ns));
  EXPECT_EQ(ns, int64_t(4294967296) * 1000000000 + 999999999);
  for (const char* refused : {"", ":", "1:", ":1", "1:2:3", "-1:0", "1:-0", "1:0x", "99999999999:0",
                              "4294967297:0", "1:1000000000", "18446744073709551616:0"})
    EXPECT_FALSE(ParseTAITime(refused, ns)) << refused;
}
