#include "netsettings.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

namespace {

NetSettings Parse(const char* ipconfig) {
  NetSettings s;
  memset(&s, 0, sizeof(s));
  FILE* f = fmemopen((void*)ipconfig, strlen(ipconfig), "r");
  NetSettingsParseIpconfig(f, &s);
  fclose(f);
  return s;
}

std::string Written(const NetSettings& s) {
  char buf[2048] = {0};
  FILE* f = fmemopen(buf, sizeof(buf) - 1, "w");
  NetSettingsWriteIpconfig(f, s);
  fclose(f);
  return buf;
}

const char* kFile = "HOSTNAME=desk\nIPADDR=192.168.1.20\nIPMASK=255.255.0.0\nBROADCAST=bogus\n"
                    "GATEWAY=192.168.1.1\nDHCPON=1\nMAIL=10.0.0.25\nTIME1=10.0.0.1\nTIME2=10.0.0.2\n"
                    "no equals sign\nUNKNOWN=1\nTIME3=10.0.0.3";

} // namespace

TEST(NetSettings, ParsesFileWithLineRules) {
  NetSettings s = Parse(kFile);
  EXPECT_STREQ(s.hostname, "desk");
  EXPECT_EQ(s.ip, 0xC0A80114u);
  EXPECT_EQ(s.mask, 0xFFFF0000u);
  EXPECT_EQ(s.broadcast, 0xFFFFFFFFu); // invalid broadcast counts as all ones
  EXPECT_EQ(s.gateway, 0xC0A80101u);
  EXPECT_EQ(s.dhcp, 1);
  EXPECT_EQ(s.mail, 0x0A000019u);
  EXPECT_EQ(s.time2, 0x0A000002u);
  EXPECT_EQ(s.time3, 0u); // last line without line break is not taken
}

TEST(NetSettings, ShortWriteKeepsFileValuesAndComputesBroadcast) {
  NetSettings current = Parse(kFile);
  strcpy(current.tz, "CET-1CEST");
  uint8_t rec[SETTINGS_RECORD_SIZE] = {0};
  memcpy(&rec[4], "twentycharacterslong", 20); // no terminating zero within the field
  rec[25] = 0;
  PutBE32(&rec[26], 0x0A4D0005);
  NetSettings next;
  NetSettingsMerge(rec, 30, current, &next);
  EXPECT_STREQ(next.hostname, "twentycharacterslong");
  EXPECT_EQ(next.dhcp, 0);
  EXPECT_EQ(next.ip, 0x0A4D0005u);
  EXPECT_EQ(next.mask, 0xFFFF0000u);
  EXPECT_EQ(next.broadcast, 0x0A4DFFFFu);
  EXPECT_EQ(next.gateway, 0xC0A80101u);
  EXPECT_EQ(next.time1, 0x0A000001u);
  EXPECT_STREQ(next.tz, "CET-1CEST");
  EXPECT_EQ(next.time2, 0u);
  EXPECT_EQ(next.time3, 0u);
}

TEST(NetSettings, FullWriteAndNtpLine) {
  NetSettings current;
  memset(&current, 0, sizeof(current));
  uint8_t rec[SETTINGS_RECORD_SIZE] = {0};
  memcpy(&rec[4], "desk", 4);
  rec[25] = 1;
  PutBE32(&rec[26], 0x0A000005);
  PutBE32(&rec[30], 0xFFFFFF00);
  PutBE32(&rec[34], 0x0A000001);
  PutBE32(&rec[38], 0x0A0000FF);
  PutBE32(&rec[46], 0x0A000007);
  memset(&rec[50], 'Z', 50);
  PutBE32(&rec[104], 0x0A000009);
  NetSettings next;
  NetSettingsMerge(rec, 108, current, &next);
  EXPECT_EQ(strlen(next.tz), 50u);
  std::string text = Written(next);
  EXPECT_NE(text.find("HOSTNAME=desk\nIPADDR=10.0.0.5\nIPMASK=255.255.255.0\nBROADCAST=10.0.0.255\n"
                      "GATEWAY=10.0.0.1\nDHCPON=1\nMAIL=0.0.0.0\nTIME1=10.0.0.7\nTIME2=0.0.0.0\n"
                      "TIME3=10.0.0.9\nNTP=\" -p 10.0.0.7 -p 10.0.0.9\"\n"),
            std::string::npos)
      << text;
}

TEST(NetSettings, ShellSignificantTextRefused) {
  NetSettings s;
  memset(&s, 0, sizeof(s));
  strcpy(s.hostname, "desk-1.studio_a");
  strcpy(s.tz, "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_TRUE(NetSettingsValuesSafe(s));
  for (const char* bad : {"a\nb", "a\"b", "a'b", "a;b", "$(x)", "a b", "a`b", "a|b", "a&b", "a>b"}) {
    strcpy(s.hostname, bad);
    EXPECT_FALSE(NetSettingsValuesSafe(s)) << bad;
  }
  strcpy(s.hostname, "desk");
  strcpy(s.tz, "UTC\nHOSTNAME=x");
  EXPECT_FALSE(NetSettingsValuesSafe(s));
}
