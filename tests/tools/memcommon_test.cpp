// Unit tests of the window table, the argument parsing and the mappings shared by memwrite and memdump.
#include "memcommon.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using namespace Qel_memtools;

namespace {

bool Parses(const char* Text, uint32_t Expected) {
  uint32_t Value = 0;
  return ParseHex32(Text, Value) && Value == Expected;
}

bool Refused(const char* Text) {
  uint32_t Value = 0;
  return !ParseHex32(Text, Value);
}

std::string WindowName(uint64_t Addr, uint64_t Length) {
  const TMemWindow* Window = SelectWindow(Addr, Length);
  return Window ? Window->Name : "none";
}

// A sparse file as large as the 32-bit physical address space, removed when the test ends.
class TSparseFile {
public:
  TSparseFile() {
    Fd = mkstemp(Path);
    if (Fd >= 0 && ftruncate(Fd, off_t(1) << 32) != 0) Path[0] = '\0';
  }
  ~TSparseFile() {
    if (Fd >= 0) close(Fd);
    unlink(Path);
  }
  TSparseFile(const TSparseFile&) = delete;
  TSparseFile& operator=(const TSparseFile&) = delete;
  bool Ready() const { return Fd >= 0 && Path[0] != '\0'; }
  uint8_t ByteAt(uint64_t Addr) const {
    uint8_t Byte = 0;
    return pread(Fd, &Byte, 1, off_t(Addr)) == 1 ? Byte : 0xEE;
  }
  char Path[32] = "/var/tmp/memcommon.XXXXXX";
  int Fd = -1;
};

} // namespace

TEST(ParseHex32, AcceptsHexWithOrWithoutPrefix) {
  EXPECT_TRUE(Parses("0", 0));
  EXPECT_TRUE(Parses("60000010", 0x60000010));
  EXPECT_TRUE(Parses("e000B000", 0xE000B000));
  EXPECT_TRUE(Parses("FFFFFFFF", 0xFFFFFFFF));
  EXPECT_TRUE(Parses("0x1f", 0x1F));
  EXPECT_TRUE(Parses("0X1F", 0x1F));
  EXPECT_TRUE(Parses("00000000ffffffff", 0xFFFFFFFF));
}

TEST(ParseHex32, RefusesTextThatIsNotOneHexNumberOf32Bits) {
  EXPECT_TRUE(Refused(""));
  EXPECT_TRUE(Refused("0x"));
  EXPECT_TRUE(Refused("100000000"));
  EXPECT_TRUE(Refused("123456789abcdef0"));
  EXPECT_TRUE(Refused("99999999999999999999999999"));
  EXPECT_TRUE(Refused("-1"));
  EXPECT_TRUE(Refused("+1"));
  EXPECT_TRUE(Refused(" 1"));
  EXPECT_TRUE(Refused("1 "));
  EXPECT_TRUE(Refused("12g"));
  EXPECT_TRUE(Refused("zz"));
  EXPECT_TRUE(Refused("0xx1"));
}

TEST(HexDigitCount, CountsDigitsAfterPrefix) {
  EXPECT_EQ(HexDigitCount(""), 0u);
  EXPECT_EQ(HexDigitCount("12"), 2u);
  EXPECT_EQ(HexDigitCount("0x12"), 2u);
  EXPECT_EQ(HexDigitCount("0X1234"), 4u);
  EXPECT_EQ(HexDigitCount("12345678"), 8u);
  EXPECT_EQ(HexDigitCount("012"), 3u);
}

TEST(SelectWindow, TableMatchesTheDevice) {
  ASSERT_EQ(MemWindowCount, 3u);
  EXPECT_STREQ(MemWindows[0].Name, "sdram");
  EXPECT_EQ(MemWindows[0].Base, 0x00000000u);
  EXPECT_EQ(MemWindows[0].Size, 0x40000000u);
  EXPECT_STREQ(MemWindows[1].Name, "fpga");
  EXPECT_EQ(MemWindows[1].Base, 0x60000000u);
  EXPECT_EQ(MemWindows[1].Size, 0x20000u);
  EXPECT_STREQ(MemWindows[2].Name, "mac");
  EXPECT_EQ(MemWindows[2].Base, 0xE000B000u);
  EXPECT_EQ(MemWindows[2].Size, 0x2000u);
}

TEST(SelectWindow, EdgesKeepTheLastByteOfEveryWindowOut) {
  EXPECT_EQ(WindowName(0x00000000, 4), "sdram");
  EXPECT_EQ(WindowName(0x3FFFFFFE, 1), "sdram");
  EXPECT_EQ(WindowName(0x3FFFFFFF, 1), "none");
  EXPECT_EQ(WindowName(0x3FFFFFFC, 4), "none");
  EXPECT_EQ(WindowName(0x3FFFFFE0, 0x10), "sdram");
  EXPECT_EQ(WindowName(0x3FFFFFF0, 0x10), "none");

  EXPECT_EQ(WindowName(0x5FFFFFFF, 1), "none");
  EXPECT_EQ(WindowName(0x60000000, 1), "fpga");
  EXPECT_EQ(WindowName(0x6001FFFE, 1), "fpga");
  EXPECT_EQ(WindowName(0x6001FFFF, 1), "none");
  EXPECT_EQ(WindowName(0x6001FFF8, 4), "fpga");
  EXPECT_EQ(WindowName(0x6001FFFC, 4), "none");

  EXPECT_EQ(WindowName(0xE000AFFF, 1), "none");
  EXPECT_EQ(WindowName(0xE000B000, 1), "mac");
  EXPECT_EQ(WindowName(0xE000CFFE, 1), "mac");
  EXPECT_EQ(WindowName(0xE000CFFF, 1), "none");
  EXPECT_EQ(WindowName(0xE000CFF0, 0x10), "none");

  EXPECT_EQ(WindowName(0x50000000, 1), "none");
}

TEST(SelectWindow, NeverWrapsAroundTheAddressRange) {
  // In 32-bit arithmetic these ends would wrap to 3, 0 and 0x10, all inside the SDRAM window.
  EXPECT_EQ(WindowName(0xFFFFFFFF, 4), "none");
  EXPECT_EQ(WindowName(0xFFFFFFFC, 4), "none");
  EXPECT_EQ(WindowName(0xFFFFFFF0, 0x20), "none");
  EXPECT_EQ(WindowName(0x00000000, 0xFFFFFFFF), "none");
  EXPECT_EQ(WindowName(0x00000000, 0x100000000ull), "none");
  EXPECT_EQ(WindowName(0x60000000, 0xFFFFFFF0), "none");
}

TEST(TPhysMem, MapsEveryWindowAtItsPhysicalOffset) {
  TSparseFile File;
  ASSERT_TRUE(File.Ready());
  TPhysMem Mem;
  ASSERT_TRUE(Mem.Open(File.Path));
  *Mem.At(MemWindows[0], 0x00001234) = 0x11;
  *Mem.At(MemWindows[1], 0x60000010) = 0x22;
  *Mem.At(MemWindows[2], 0xE000CFFE) = 0x33;
  EXPECT_EQ(File.ByteAt(0x00001234), 0x11);
  EXPECT_EQ(File.ByteAt(0x60000010), 0x22);
  EXPECT_EQ(File.ByteAt(0xE000CFFE), 0x33);
  EXPECT_EQ(File.ByteAt(0x00000010), 0x00);
}

TEST(TPhysMem, ReportsOpenAndMappingFailures) {
  testing::internal::CaptureStdout();
  {
    TPhysMem Mem;
    EXPECT_FALSE(Mem.Open("/nonexistent/mem"));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to open /nonexistent/mem\n");

  // /dev/null opens for writing but cannot be mapped.
  testing::internal::CaptureStdout();
  {
    TPhysMem Mem;
    EXPECT_FALSE(Mem.Open("/dev/null"));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "mapping sdram failed\n");
}
