// What the node reads from transport files: the stream's session name, PTP grandmaster, receiver
// parameters and media format.
#include "SenderSDP.h"

#include <gtest/gtest.h>

#include <tuple>

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

TEST(SenderSDP, TheFormatIsThatOfTheFirstMediaAndItsFirstPayloadType) {
  const std::string sdp = "v=0\r\ns=x\r\na=rtpmap:96 L16/44100/2\r\nm=audio 5004 RTP/AVP 97 96\r\n"
                          "a=rtpmap:96 L16/44100/2\r\na=rtpmap:97 L24/48000/8\r\nm=audio 5006 RTP/AVP 98\r\n"
                          "a=rtpmap:98 L16/96000/1\r\n";
  TStreamFormat format = SDPStreamFormat(sdp);
  EXPECT_EQ((std::tuple(format.MediaType, format.SampleRateNumerator, format.SampleRateDenominator,
                        format.Channels)),
            (std::tuple(std::string("audio/L24"), 48000, 1, 8)));
  EXPECT_EQ(format.Text(), "audio/L24, 48000 Hz, 8 channels");
  // An rtpmap without channels means one; RTP's static L16 types need none.
  format = SDPStreamFormat("m=audio 5004 RTP/AVP 96\na=rtpmap:96 L20/48000\n");
  EXPECT_EQ((std::tuple(format.MediaType, format.Channels)), (std::tuple(std::string("audio/L20"), 1)));
  format = SDPStreamFormat("m=audio 5004 RTP/AVP 10\n");
  EXPECT_EQ((std::tuple(format.MediaType, format.SampleRateNumerator, format.Channels)),
            (std::tuple(std::string("audio/L16"), 44100, 2)));
  // Without an rtpmap only the kind is known; without media nothing is; video has no channels.
  EXPECT_EQ(SDPStreamFormat("m=audio 5004 RTP/AVP 96\r\na=rtpmap:97 L24/48000/2\r\n").MediaType, "audio/");
  EXPECT_EQ(SDPStreamFormat("v=0\r\n").Text(), "an unknown media type");
  format = SDPStreamFormat("m=video 5004 RTP/AVP 96\na=rtpmap:96 raw/90000\n");
  EXPECT_EQ((std::tuple(format.MediaType, format.SampleRateNumerator, format.Channels)),
            (std::tuple(std::string("video/raw"), 90000, 0)));
  // What is no rate or count is not read as one.
  format = SDPStreamFormat("m=audio 1 RTP/AVP 96\na=rtpmap:96 L24/99999999999999999999/x\n");
  EXPECT_EQ((std::tuple(format.SampleRateNumerator, format.Channels)), (std::tuple(0, 0)));
}
