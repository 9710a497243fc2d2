#include "announce.h"
#include "filetransfer.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <unistd.h>

namespace {

std::string TempFile(const char* content) {
  char path[] = "/tmp/qelannounceXXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, content, strlen(content)), (ssize_t)strlen(content));
  close(fd);
  return path;
}

} // namespace

TEST(Announce, DeviceNameFromFirstHostnameLineElseSerial) {
  char name[ANNOUNCE_NAME_SIZE + 1];
  std::string f = TempFile("HOSTNAME=averyveryverylongname\nIPADDR=1.2.3.4\n");
  AnnounceDeviceName(f.c_str(), 0x123456, name);
  EXPECT_STREQ(name, "averyveryv");
  unlink(f.c_str());
  f = TempFile("IPADDR=1.2.3.4\nHOSTNAME=late\n");
  AnnounceDeviceName(f.c_str(), 0x123456, name);
  EXPECT_STREQ(name, "12-34-56");
  unlink(f.c_str());
  AnnounceDeviceName("/nonexistent/ipconfig", 0x0000ab, name);
  EXPECT_STREQ(name, "00-00-ab");
}

TEST(Announce, RecordLayout) {
  uint8_t r[ANNOUNCE_RECORD_SIZE];
  BuildAnnounceRecord(0x123456, "desk", r);
  const uint8_t head[16] = {0xFE, 0x06, 0x20, 0x05, 1, 0, 0, 0x2A, 1, 0, 0, 0x26, 0, 0x12, 0x34, 0x56};
  EXPECT_EQ(memcmp(r, head, 16), 0);
  EXPECT_EQ(memcmp(&r[16], "\x01Mon \x01\x06\x06\x06", 9), 0);
  EXPECT_EQ(memcmp(&r[25], "desk\0\0\0\0\0\0", 10), 0);
  const uint8_t tail[5] = {7, 0x63, 0, 0, 0x12};
  EXPECT_EQ(memcmp(&r[45], tail, 5), 0);
}

TEST(FileNames, SymbolicNamesAndLimits) {
  char path[QC_NAME_MAX + 1];
  ASSERT_TRUE(MapFileName("#Config", path, sizeof(path)));
  EXPECT_STREQ(path, "/config/config");
  ASSERT_TRUE(MapFileName("#Kernel", path, sizeof(path)));
  EXPECT_STREQ(path, "/config/kernel.img");
  ASSERT_TRUE(MapFileName("#State", path, sizeof(path)));
  EXPECT_STREQ(path, "/ram/state.tgz");
  ASSERT_TRUE(MapFileName("#Configx", path, sizeof(path)));
  EXPECT_STREQ(path, "#Configx");
  EXPECT_FALSE(MapFileName("", path, sizeof(path)));
  EXPECT_FALSE(MapFileName(std::string(253, 'a').c_str(), path, sizeof(path)));
  EXPECT_TRUE(MapFileName(std::string(252, 'a').c_str(), path, sizeof(path)));
}
