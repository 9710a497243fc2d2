// File transfer over a TCP connection: 5 handles per connection, uploads through a temporary file.
#ifndef QELCONNECT_FILETRANSFER_H
#define QELCONNECT_FILETRANSFER_H

#include "qelconnect.h"

#define FT_OK 0u
#define FT_UPLOAD_NOTICE 0x82010001u
#define FT_NO_HANDLE 0xA2010001u
#define FT_NO_FILE 0xA2010002u
#define FT_CANT_WRITE 0xA2010003u
#define FT_WRONG_CRC 0xA2010006u
#define FT_ABORTED 0xA2010007u

void FileTransferInitSlot(int slot);
// Sends the next data block of every running download; true while one is running.
bool ServeFileTransfers(int slot);
// Fills the answer into the request block; true when the block shall be sent back.
bool CheckStartFileTransfer(Block& block, int slot);
void CheckFTData(const Block& block, int slot);
void CheckEndFileTransfer(const Block& block, int slot);
void FreeFTHandle(int slot, int handle);
void AbortFileTransfers(int slot);

// The fields of a start block: mode 'r' or 'w' (anything else is answered without a transfer), the
// announced size of an upload, the requested name ("" when empty, cut or over-long) and its local path
// ("" when unusable).
struct FTStartRequest {
  char mode;
  uint32_t size;
  char name[QC_NAME_MAX + 1];
  char path[QC_NAME_MAX + 1];
};
void ParseStartTransfer(const Block& block, FTStartRequest* req);

// The fields of a data block; false when it is too short to name a handle. `len` is what follows the
// header, unchecked against the largest payload.
struct FTDataBlock {
  int handle;
  uint32_t offset;
  const uint8_t* data;
  size_t len;
};
bool ParseFTData(const Block& block, FTDataBlock* out);

// The fields of an end block; false when it names no handle. An upload's end carries the tool's checksum
// (has_crc); a download's end carries the tool's result code and, on failure, a message.
struct FTEndBlock {
  int handle;
  bool has_crc;
  uint32_t crc;
  uint32_t code;
  char message[QC_DATA_SIZE];
};
bool ParseFTEnd(const Block& block, FTEndBlock* out);

// Maps a symbolic name ("#Config", ...) to its local path; false when the name is unusable.
bool MapFileName(const char* name, char* path, size_t path_size);

#endif
