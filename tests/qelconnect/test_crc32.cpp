#include "crc32.h"

#include <gtest/gtest.h>
#include <string.h>

TEST(Crc32, MatchesStandardCheckValueAcrossPieces) {
  Crc32BuildTable();
  const char* text = "123456789";
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
  EXPECT_EQ(~Crc32Update(CRC32_INITIAL, p, 9), 0xCBF43926u);
  uint32_t crc = Crc32Update(CRC32_INITIAL, p, 4);
  crc = Crc32Update(crc, p + 4, 5);
  EXPECT_EQ(~crc, 0xCBF43926u);
  EXPECT_EQ(~Crc32Update(CRC32_INITIAL, p, 0), 0u);
}
