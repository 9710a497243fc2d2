// What the node reads from transport files: the stream's session name and the PTP grandmaster.
#include "SenderSDP.h"

#include <gtest/gtest.h>

using namespace Qel_nmos_bridge;

TEST(SenderSDP, SessionNameAndGrandmasterAreReadFromTheirLines) {
  const std::string sdp = "v=0\r\ns=Stage Left\r\nt=0 0\r\nm=audio 5004 RTP/AVP 96\r\n"
                          "a=ts-refclk:ptp=IEEE1588-2008:02-4D-51-FF-FE-3A-7C-18:0\r\n";
  EXPECT_EQ(SDPSessionName(sdp), "Stage Left");
  EXPECT_EQ(SDPPTPGrandmaster(sdp), "02-4d-51-ff-fe-3a-7c-18");
  EXPECT_EQ(SDPPTPGrandmaster("a=ts-refclk:ptp=IEEE1588-2008:39-a7-94-ff-fe-07-cb-d0\n"),
            "39-a7-94-ff-fe-07-cb-d0");
  // No grandmaster named, or not one that a clock document may carry.
  EXPECT_EQ(SDPPTPGrandmaster("a=ts-refclk:ptp=IEEE1588-2008:traceable\n"), "");
  EXPECT_EQ(SDPPTPGrandmaster("a=ts-refclk:ptp=IEEE1588-2008:02-4D-51-FF-FE-3A-7C-1\n"), "");
  EXPECT_EQ(SDPPTPGrandmaster("a=ts-refclk:ptp=IEEE1588-2008:02-4D-51-FF-FE-3A-7C-18X\n"), "");
  EXPECT_EQ(SDPPTPGrandmaster("a=ts-refclk:localmac=02-4D-51-3A-7C-18\n"), "");
  EXPECT_EQ(SDPSessionName("v=0\n"), "");
}

TEST(SenderSDP, AReceiverTakesPortGroupAndFilteredSourceFromTheFirstMedia) {
  const std::string sdp = "v=0\r\ns=x\r\nm=audio 5123 RTP/AVP 97\r\nc=IN IP4 232.40.50.7/32\r\n"
                          "a=source-filter: incl IN IP4 232.40.50.7 10.1.2.3\r\nm=audio 6000 RTP/AVP 97\r\n";
  EXPECT_EQ(SDPReceiverParams(sdp),
            nlohmann::json::parse(R"({"destination_port": 5123, "multicast_ip": "232.40.50.7",
                                      "source_ip": "10.1.2.3"})"));
  // A unicast destination is no group; what is missing or unusable is left out.
  EXPECT_EQ(SDPReceiverParams("m=audio 70000 RTP/AVP 97\nc=IN IP4 10.0.0.9\n"),
            nlohmann::json::parse(R"({"multicast_ip": null})"));
  EXPECT_EQ(SDPReceiverParams("a=source-filter: incl IN IP4 232.1.1.1 bogus\n"), nlohmann::json::object());
}
