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

// Maps a symbolic name ("#Config", ...) to its local path; false when the name is unusable.
bool MapFileName(const char* name, char* path, size_t path_size);

#endif
