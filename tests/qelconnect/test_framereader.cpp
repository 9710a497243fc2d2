#include "framereader.h"

#include <gtest/gtest.h>
#include <string.h>
#include <vector>

namespace {

struct Collected {
  std::vector<Block> blocks;
  std::vector<int> error_states;
};

void OnError(void* ctx, int state, uint8_t) {
  static_cast<Collected*>(ctx)->error_states.push_back(state);
}
void OnBlock(void* ctx, Block& b) {
  static_cast<Collected*>(ctx)->blocks.push_back(b);
}

std::vector<uint8_t> Frame(uint32_t id, const std::vector<uint8_t>& payload) {
  Block b;
  memset(&b, 0, sizeof(b));
  b.ID = id;
  b.Len = (uint16_t)payload.size();
  if (!payload.empty()) memcpy(b.Data, payload.data(), payload.size());
  std::vector<uint8_t> out(FRAME_MAX_SIZE);
  out.resize(FrameEncode(b, out.data(), out.size()));
  return out;
}

void Feed(FrameReader* r, Collected* c, const std::vector<uint8_t>& bytes) {
  FrameReaderFeed(r, bytes.data(), bytes.size(), c, OnError, OnBlock);
}

} // namespace

TEST(FrameReader, DecodesFramesSplitAnywhereAndEmptyOnes) {
  std::vector<uint8_t> stream = Frame(0x9A000004, {});
  std::vector<uint8_t> second = Frame(0x12345678, std::vector<uint8_t>(255, 0x5A));
  stream.insert(stream.end(), second.begin(), second.end());
  for (size_t split = 0; split <= stream.size(); split += 7) {
    FrameReader r;
    FrameReaderInit(&r);
    Collected c;
    Feed(&r, &c, std::vector<uint8_t>(stream.begin(), stream.begin() + split));
    Feed(&r, &c, std::vector<uint8_t>(stream.begin() + split, stream.end()));
    ASSERT_EQ(c.blocks.size(), 2u);
    EXPECT_EQ(c.blocks[0].ID, 0x9A000004u);
    EXPECT_EQ(c.blocks[0].Len, 0);
    EXPECT_EQ(c.blocks[1].ID, 0x12345678u);
    EXPECT_EQ(c.blocks[1].Len, 255);
    EXPECT_EQ(c.blocks[1].Data[254], 0x5A);
    EXPECT_TRUE(c.error_states.empty());
  }
}

TEST(FrameReader, CountsGarbageAndResynchronisesOnBrokenSequence) {
  FrameReader r;
  FrameReaderInit(&r);
  Collected c;
  std::vector<uint8_t> garbage = {0x11, 0x02, 0xA3, 0x57, 0x00, 0x02, 0x02};
  std::vector<uint8_t> frame = Frame(0x9A000003, {7});
  garbage.insert(garbage.end(), frame.begin() + 1, frame.end()); // the last 0x02 starts the frame
  Feed(&r, &c, garbage);
  ASSERT_EQ(c.blocks.size(), 1u);
  EXPECT_EQ(c.blocks[0].ID, 0x9A000003u);
  EXPECT_EQ(c.blocks[0].Data[0], 7);
  EXPECT_EQ(c.error_states, (std::vector<int>{0, 3, 1}));
}

TEST(FrameEncode, RefusesBlocksLongerThanAFrame) {
  Block b;
  memset(&b, 0, sizeof(b));
  b.Len = 256;
  uint8_t out[FRAME_MAX_SIZE + 20];
  EXPECT_EQ(FrameEncode(b, out, sizeof(out)), 0u);
  b.Len = 3;
  b.ID = 0x01020304;
  ASSERT_EQ(FrameEncode(b, out, sizeof(out)), 13u);
  const uint8_t head[10] = {0x02, 0xA3, 0x57, 0xEF, 3, 0, 1, 2, 3, 4};
  EXPECT_EQ(memcmp(out, head, 10), 0);
}
