#include "framereader.h"

#include <string.h>

const uint8_t FrameSync[4] = {0x02, 0xA3, 0x57, 0xEF};

void FrameReaderInit(FrameReader* r) {
  memset(r, 0, sizeof(*r));
}

static void FinishBlock(FrameReader* r, void* ctx, FrameBlockFn on_block) {
  r->state = 0;
  on_block(ctx, r->block);
}

static void FeedHeaderByte(FrameReader* r, uint8_t b, void* ctx, FrameBlockFn on_block) {
  r->header[r->header_pos++] = b;
  if (r->header_pos < 6) return;
  memset(&r->block, 0, sizeof(r->block));
  r->block.Len = r->header[0];
  r->block.ID = GetBE32(&r->header[2]);
  r->data_pos = 0;
  if (r->block.Len == 0)
    FinishBlock(r, ctx, on_block);
  else
    r->state = 5;
}

void FrameReaderFeed(FrameReader* r, const uint8_t* buf, size_t len, void* ctx, FrameErrorFn on_error,
                     FrameBlockFn on_block) {
  for (size_t i = 0; i < len; i++) {
    uint8_t b = buf[i];
    if (r->state < 4) {
      if (b == FrameSync[r->state]) {
        if (++r->state == 4) r->header_pos = 0;
        continue;
      }
      on_error(ctx, r->state, b);
      // A sync start that broke a partial sequence begins the next one, so no frame is lost after garbage.
      r->state = (r->state != 0 && b == FrameSync[0]) ? 1 : 0;
    } else if (r->state == 4) {
      FeedHeaderByte(r, b, ctx, on_block);
    } else {
      r->block.Data[r->data_pos++] = b;
      if (r->data_pos >= r->block.Len) FinishBlock(r, ctx, on_block);
    }
  }
}

size_t FrameEncode(const Block& block, uint8_t* out, size_t out_size) {
  if (block.Len > QC_MAX_FRAME_PAYLOAD || out_size < (size_t)FRAME_HEADER_SIZE + block.Len) return 0;
  memcpy(out, FrameSync, 4);
  out[4] = (uint8_t)block.Len;
  out[5] = 0;
  PutBE32(&out[6], block.ID);
  memcpy(&out[10], block.Data, block.Len);
  return FRAME_HEADER_SIZE + block.Len;
}
