// The TCP frame of the block protocol: sync bytes, length, a spare byte, the big-endian ID, the payload.
#ifndef QELCONNECT_FRAMEREADER_H
#define QELCONNECT_FRAMEREADER_H

#include "qelconnect.h"
#include <stddef.h>

#define FRAME_HEADER_SIZE 10
#define FRAME_MAX_SIZE (FRAME_HEADER_SIZE + QC_MAX_FRAME_PAYLOAD)

extern const uint8_t FrameSync[4];

struct FrameReader {
  int state; // 0..3 sync bytes, 4 header, 5 payload
  uint8_t header[6];
  int header_pos;
  int data_pos;
  Block block;
};

// Called for every wrong byte; sync_state is the state (0..3) that rejected it.
typedef void (*FrameErrorFn)(void* ctx, int sync_state, uint8_t byte);
// Called for every complete frame; the block's Source is left to the caller.
typedef void (*FrameBlockFn)(void* ctx, Block& block);

void FrameReaderInit(FrameReader* r);
void FrameReaderFeed(FrameReader* r, const uint8_t* buf, size_t len, void* ctx, FrameErrorFn on_error,
                     FrameBlockFn on_block);

// Builds the wire frame of a block and returns its size; blocks longer than one frame are refused (0).
size_t FrameEncode(const Block& block, uint8_t* out, size_t out_size);

#endif
