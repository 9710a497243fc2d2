// The service daemon's TCP block stream: frames split as the network splits them, then every block's
// payload through the daemon's parsing of it (file transfer, file names, network settings). Input: a
// first byte n (0..7), n chunk sizes (each byte + 1), then the stream; the stream is fed whole, in those
// chunks over and over, and one byte at a time, and must give the same blocks and errors each way.
#include "filetransfer.h"
#include "framereader.h"
#include "qelconnect_checks.h"

#include <string.h>
#include <vector>

namespace {

struct Event {
  int error_state; // -1: a block
  uint8_t byte;
  Block block;
};

void OnError(void* ctx, int state, uint8_t byte) {
  FUZZ_CHECK(state >= 0 && state < 4);
  Event e;
  memset(&e, 0, sizeof(e));
  e.error_state = state;
  e.byte = byte;
  static_cast<std::vector<Event>*>(ctx)->push_back(e);
}

void OnBlock(void* ctx, Block& block) {
  Event e;
  memset(&e, 0, sizeof(e));
  e.error_state = -1;
  e.block = block;
  static_cast<std::vector<Event>*>(ctx)->push_back(e);
}

std::vector<Event> Feed(const uint8_t* stream, size_t len, const uint8_t* chunks, size_t nchunks) {
  FrameReader r;
  FrameReaderInit(&r);
  std::vector<Event> events;
  size_t pos = 0;
  for (size_t i = 0; pos < len; i++) {
    size_t n = nchunks ? (size_t)chunks[i % nchunks] + 1 : len;
    if (n > len - pos) n = len - pos;
    FrameReaderFeed(&r, stream + pos, n, &events, OnError, OnBlock);
    pos += n;
  }
  return events;
}

bool SameEvents(const std::vector<Event>& a, const std::vector<Event>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (memcmp(&a[i], &b[i], sizeof(Event)) != 0) return false;
  return true;
}

void CheckReencoded(const Block& block) {
  uint8_t frame[FRAME_MAX_SIZE];
  size_t n = FrameEncode(block, frame, sizeof(frame));
  FUZZ_CHECK(n == (size_t)FRAME_HEADER_SIZE + block.Len);
  FUZZ_CHECK(memcmp(frame, FrameSync, 4) == 0);
  FUZZ_CHECK(FrameEncode(block, frame, n - 1) == 0);
  std::vector<Event> again = Feed(frame, n, nullptr, 0);
  FUZZ_CHECK(again.size() == 1 && again[0].error_state == -1);
  FUZZ_CHECK(memcmp(&again[0].block, &block, sizeof(block)) == 0);
}

const char* const SymbolicNames[][2] = {{"#Config", "/config/config"},
                                        {"#Firmware", "/config/fw.fw6"},
                                        {"#Kernel", "/config/kernel.img"},
                                        {"#Setup", "/config/setup0"},
                                        {"#State", "/ram/state.tgz"}};

// A name maps to its fixed target when it is a symbolic one and to itself otherwise: the mapping never
// makes a path out of a part of the name, nor one longer than a name.
void CheckMappedPath(const char* name, const char* path) {
  FUZZ_CHECK(strlen(path) <= QC_NAME_MAX);
  if (name[0] == 0) {
    FUZZ_CHECK(path[0] == 0);
    return;
  }
  for (const auto& s : SymbolicNames)
    if (strcmp(name, s[0]) == 0) {
      FUZZ_CHECK(strcmp(path, s[1]) == 0);
      return;
    }
  FUZZ_CHECK(strcmp(path, name) == 0);
  // The upload's temporary name "<path>.<slot>-<handle>.tf" has room.
  FUZZ_CHECK(strlen(path) + sizeof(".9-4.tf") <= QC_NAME_MAX + 16);
}

void CheckStart(const Block& block) {
  FTStartRequest req;
  memset(&req, 0x55, sizeof(req));
  ParseStartTransfer(block, &req);
  FUZZ_CHECK(memchr(req.name, 0, sizeof(req.name)) && memchr(req.path, 0, sizeof(req.path)));
  FUZZ_CHECK(req.mode == (char)block.Data[5]);
  size_t n = strlen(req.name);
  if (n > 0) {
    // The name is the one the block carries, whole, inside its length.
    FUZZ_CHECK(block.Len >= 11 && block.Data[10] >= n && 11u + block.Data[10] <= block.Len);
    FUZZ_CHECK(memcmp(req.name, &block.Data[11], n) == 0);
  }
  CheckMappedPath(req.name, req.path);
  // The mapping of the name alone agrees, and a buffer too small for the path is refused, never cut.
  char path[QC_NAME_MAX + 1];
  if (n > 0) {
    FUZZ_CHECK(MapFileName(req.name, path, sizeof(path)) && strcmp(path, req.path) == 0);
    size_t need = strlen(req.path) + 1;
    std::vector<char> small(need - 1);
    FUZZ_CHECK(need == 1 || !MapFileName(req.name, small.data(), small.size()));
  } else {
    FUZZ_CHECK(!MapFileName(req.name, path, sizeof(path)));
  }
}

void CheckData(const Block& block) {
  FTDataBlock d;
  if (!ParseFTData(block, &d)) {
    FUZZ_CHECK(block.Len < 5);
    return;
  }
  FUZZ_CHECK(d.handle == block.Data[4] && d.offset == GetBE32(block.Data));
  FUZZ_CHECK(d.data == &block.Data[5] && d.len + 5 == block.Len);
  FUZZ_CHECK(d.data + d.len <= block.Data + sizeof(block.Data));
}

void CheckEnd(const Block& block) {
  FTEndBlock e;
  memset(&e, 0x55, sizeof(e));
  if (!ParseFTEnd(block, &e)) {
    FUZZ_CHECK(block.Len <= 4);
    return;
  }
  FUZZ_CHECK(e.handle == block.Data[4]);
  FUZZ_CHECK(e.has_crc == (block.Len >= 9));
  FUZZ_CHECK(e.has_crc || e.crc == 0);
  // The message is taken from inside the block only.
  size_t m = strnlen(e.message, sizeof(e.message));
  FUZZ_CHECK(m < sizeof(e.message));
  FUZZ_CHECK(m == 0 || (block.Len > 10 && m <= (size_t)block.Len - 10 && m <= block.Data[9]));
  FUZZ_CHECK(memcmp(e.message, &block.Data[10], m) == 0);
}

// What ProcessBlock does with a block of connection slot 0, up to the point where it acts.
void CheckPayload(Block block) {
  block.Source = SOURCE_TCP_FIRST;
  switch (block.ID) {
  case ID_START_TRANSFER:
    return CheckStart(block);
  case ID_FILE_DATA:
    return CheckData(block);
  case ID_END_TRANSFER:
    return CheckEnd(block);
  case ID_NET_SETTINGS:
    return FuzzCheckSettingsRequest(block);
  default:
    // Every other block is worth a look as any of them: a tool can send any payload under any ID.
    CheckStart(block);
    CheckData(block);
    CheckEnd(block);
    FuzzCheckSettingsRequest(block);
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SerialNumber = FUZZ_SERIAL;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t nchunks = data[0] % 8;
  if (size < 1 + nchunks) return 0;
  const uint8_t* chunks = data + 1;
  const uint8_t* stream = chunks + nchunks;
  size_t len = size - 1 - nchunks;
  std::vector<Event> whole = Feed(stream, len, nullptr, 0);
  static const uint8_t one_byte = 0;
  FUZZ_CHECK(SameEvents(whole, Feed(stream, len, &one_byte, 1)));
  if (nchunks) FUZZ_CHECK(SameEvents(whole, Feed(stream, len, chunks, nchunks)));
  for (const Event& e : whole) {
    if (e.error_state >= 0) continue;
    const Block& b = e.block;
    FUZZ_CHECK(b.Len <= QC_MAX_FRAME_PAYLOAD && b.Source == 0 && b.Reserved == 0);
    for (size_t i = b.Len; i < sizeof(b.Data); i++)
      FUZZ_CHECK(b.Data[i] == 0);
    CheckReencoded(b);
    CheckPayload(b);
  }
  return 0;
}
