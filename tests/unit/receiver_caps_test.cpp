// What the receivers say they can take (their caps, as controllers read them) and which streams that
// admits or excludes.
#include "ReceiverCaps.h"
#include "SenderSDP.h"

#include <gtest/gtest.h>

using namespace Qel_nmos_bridge;

namespace {

TStreamFormat Audio(const char* type, int64_t rate, int64_t channels) {
  TStreamFormat format;
  format.MediaType = type;
  format.SampleRateNumerator = rate;
  format.Channels = channels;
  return format;
}

} // namespace

TEST(ReceiverCaps, OneConstraintSetOfTheMediaTypesAtTheDevicesRate) {
  EXPECT_EQ(BuildReceiverCaps(48000), json::parse(R"({
      "media_types": ["audio/L16", "audio/L20", "audio/L24"],
      "constraint_sets": [{"urn:x-nmos:cap:meta:label": "L16, L20 or L24 at 48000 Hz",
                           "urn:x-nmos:cap:meta:enabled": true, "urn:x-nmos:cap:meta:preference": 0,
                           "urn:x-nmos:cap:format:media_type": {"enum": ["audio/L16", "audio/L20", "audio/L24"]},
                           "urn:x-nmos:cap:format:sample_rate": {"enum": [{"numerator": 48000}]}}]})"));
  // Before the firmware names its rate, the rate is not constrained.
  const json early = BuildReceiverCaps(0);
  EXPECT_EQ(early["constraint_sets"][0].count("urn:x-nmos:cap:format:sample_rate"), 0u);
  EXPECT_EQ(early["constraint_sets"][0]["urn:x-nmos:cap:meta:label"], "L16, L20 or L24");
}

TEST(ReceiverCaps, AStreamIsExcludedOnlyByWhatItStates) {
  const json caps = BuildReceiverCaps(48000);
  std::string why;
  for (const TStreamFormat& admitted :
       {Audio("audio/L24", 48000, 2), Audio("audio/l16", 48000, 64), Audio("audio/L20", 0, 0),
        Audio("audio/", 48000, 0), Audio("", 0, 0), SDPStreamFormat("v=0\r\n")})
    EXPECT_TRUE(CapsAdmit(caps, admitted, why)) << admitted.Text() << ": " << why;
  for (const TStreamFormat& excluded : {Audio("audio/L24", 44100, 2), Audio("audio/L32", 48000, 2),
                                        Audio("video/", 0, 0), Audio("audio/AM824", 48000, 2)}) {
    why.clear();
    EXPECT_FALSE(CapsAdmit(caps, excluded, why)) << excluded.Text();
    EXPECT_NE(why.find(excluded.Text()), std::string::npos) << why;
  }
  // A rate is a rational: 96000/2 is 48000.
  TStreamFormat halves = Audio("audio/L24", 96000, 2);
  halves.SampleRateDenominator = 2;
  EXPECT_TRUE(CapsAdmit(caps, halves, why)) << why;
}

TEST(ReceiverCaps, AnyEnabledSetAdmitsAndUnknownConstraintsExcludeNothing) {
  const json caps = json::parse(R"({"constraint_sets": [
      {"urn:x-nmos:cap:format:channel_count": {"minimum": 1, "maximum": 8},
       "urn:x-nmos:cap:format:sample_rate": {"minimum": {"numerator": 44100}, "maximum": {"numerator": 48000}},
       "urn:x-vendor:cap:anything": {"enum": ["x"]}},
      {"urn:x-nmos:cap:meta:enabled": false, "urn:x-nmos:cap:format:channel_count": {"enum": [16]}},
      {"urn:x-nmos:cap:format:channel_count": {"enum": [64]}}]})");
  std::string why;
  EXPECT_TRUE(CapsAdmit(caps, Audio("audio/L24", 44100, 8), why)) << why;
  EXPECT_TRUE(CapsAdmit(caps, Audio("audio/L24", 96000, 64), why)) << why;
  EXPECT_FALSE(CapsAdmit(caps, Audio("audio/L24", 48000, 16), why)) << "a disabled set admits nothing now";
  EXPECT_FALSE(CapsAdmit(caps, Audio("audio/L24", 32000, 2), why));
  EXPECT_FALSE(CapsAdmit(json::parse(R"({"constraint_sets": []})"), Audio("audio/L24", 0, 0), why));
  EXPECT_TRUE(CapsAdmit(json::object(), Audio("video/raw", 90000, 0), why)) << "no caps, no constraint";
}

TEST(ReceiverCaps, CapsKeepTheirVersionUntilTheyChange) {
  int stamps = 0;
  const auto stamp = [&stamps] { return std::to_string(++stamps) + ":0"; };
  const json first = VersionedCaps(BuildReceiverCaps(0), json(), stamp);
  EXPECT_EQ(first["version"], "1:0");
  EXPECT_EQ(VersionedCaps(BuildReceiverCaps(0), first, stamp), first);
  EXPECT_EQ(stamps, 1) << "unchanged caps take no new version";
  const json second = VersionedCaps(BuildReceiverCaps(48000), first, stamp);
  EXPECT_EQ(second["version"], "2:0");
}

TEST(ReceiverCaps, AFlowsFormatIsItsMediaTypeRateAndItsSourcesChannels) {
  const json flow = json::parse(R"({"media_type": "audio/L24", "sample_rate": {"numerator": 48000}})");
  const json source = json::parse(R"({"channels": [{"label": "L"}, {"label": "R"}]})");
  EXPECT_EQ(FlowFormat(flow, source).Text(), "audio/L24, 48000 Hz, 2 channels");
  EXPECT_EQ(FlowFormat(json::parse(R"({"sample_rate": {"numerator": 1, "denominator": 0}})"), json()).Text(),
            "an unknown media type");
}
