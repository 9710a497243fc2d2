#include "filetransfer.h"
#include "crc32.h"
#include "replacefile.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define FT_PAYLOAD_MAX 250
#define FT_DATA_HEADER 5
#define FT_START_NAME 11
#define FT_FLAGS_OPENED 0x8201006Au
#define FT_HANDLE_OFFSET 4
#define FT_END_CRC_OFFSET 5
#define FT_END_CRC_END 9
// "<target>.<slot>-<handle>.tf"
#define FT_TEMP_NAME_SIZE (QC_NAME_MAX + 16)

static FileHandle& Handle(int slot, int h) {
  return Connections[slot].FileHandles[h];
}

static const char* PeerText(int slot, char* buf, size_t size) {
  inet_ntop(AF_INET, &Connections[slot].peer.sin_addr, buf, (socklen_t)size);
  return buf;
}

// Every upload has a temporary file of its own next to its target, named after the connection slot and
// the handle, which only this transfer uses while it runs.
static void TempName(const char* path, int slot, int h, char tmp[FT_TEMP_NAME_SIZE]) {
  snprintf(tmp, FT_TEMP_NAME_SIZE, "%s.%d-%d.tf", path, slot, h);
}

// The firmware link's socket and every other file that is not a regular one are no transfer targets.
static bool TransferablePath(const char* path, bool missing_ok) {
  if (path[0] == 0 || strcmp(path, QC_FWS_PATH) == 0) {
    errno = EINVAL;
    return false;
  }
  return IsRegularFileOrMissing(path, missing_ok);
}

static void ClearHandle(FileHandle& fh) {
  fh.lfp.reset();
  fh.mode = 0;
  fh.size = 0;
  fh.name[0] = 0;
  fh.position = 0;
  fh.state = FT_IDLE;
  fh.crc = 0;
}

void FileTransferInitSlot(int slot) {
  for (int h = 0; h < QC_FILE_HANDLES; h++)
    ClearHandle(Handle(slot, h));
}

bool MapFileName(const char* name, char* path, size_t path_size) {
  static const struct {
    const char* name;
    const char* path;
  } symbols[] = {{"#Config", "/config/config"},
                 {"#Firmware", "/config/fw.fw6"},
                 {"#Kernel", "/config/kernel.img"},
                 {"#Setup", "/config/setup0"},
                 {"#State", "/ram/state.tgz"}};
  if (name[0] == 0 || strlen(name) > QC_NAME_MAX) return false;
  for (const auto& s : symbols) {
    if (strcmp(name, s.name) == 0) return snprintf(path, path_size, "%s", s.path) < (int)path_size;
  }
  return snprintf(path, path_size, "%s", name) < (int)path_size;
}

static void MakeStateArchive() {
  // A fixed command line: nothing of the request reaches the shell.
  if (system("cd /home/httpd;/bin/tar --exclude *.fw6 --exclude *.img* -czhf /ram/state.tgz *") < 0)
    perror("system()");
}

static void AnswerStart(Block& block, uint32_t code, uint8_t handle, const char* message) {
  size_t m = strlen(message);
  PutBE32(block.Data, code);
  block.Data[4] = handle;
  block.Data[10] = (uint8_t)m;
  memcpy(&block.Data[FT_START_NAME], message, m);
  block.Len = (uint16_t)(FT_START_NAME + m);
}

static int FreeHandle(int slot) {
  for (int h = 0; h < QC_FILE_HANDLES; h++)
    if (Handle(slot, h).mode == 0) return h;
  return -1;
}

static bool StartReading(Block& block, int slot, int h, const char* path) {
  FileHandle& fh = Handle(slot, h);
  PutBE32(&block.Data[6], 0);
  // Opened without blocking (a named pipe would wait for a writer for ever) and only when regular.
  UniqueFd fd(TransferablePath(path, false) ? open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1);
  if (!fd) {
    perror("CheckStartFileTransfer: open (reading)");
    AnswerStart(block, FT_NO_FILE, (uint8_t)h, "no such file");
    return false;
  }
  char peer[INET_ADDRSTRLEN];
  LogMessage(0x80000000, FT_FLAGS_OPENED, "Connection %d Send File %s with handle %i to %s!\n", slot, path, h,
             PeerText(slot, peer, sizeof(peer)));
  struct stat st;
  FilePtr f;
  if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size <= UINT32_MAX) {
    f.reset(fdopen(fd.get(), "rb"));
    if (f) fd.release();
  }
  if (!f) {
    AnswerStart(block, FT_NO_FILE, (uint8_t)h, "no such file");
    return false;
  }
  fh.lfp = std::move(f);
  fh.size = (uint32_t)st.st_size;
  fh.position = 0;
  fh.crc = CRC32_INITIAL;
  fh.state = FT_SENDING;
  PutBE32(&block.Data[6], fh.size);
  return true;
}

static bool StartWriting(Block& block, int slot, int h, const char* path, uint32_t size) {
  FileHandle& fh = Handle(slot, h);
  char tmp[FT_TEMP_NAME_SIZE];
  TempName(path, slot, h, tmp);
  FilePtr f(TransferablePath(path, true) ? CreateTempFile(tmp) : nullptr);
  if (!f) {
    AnswerStart(block, FT_CANT_WRITE, (uint8_t)h, "can't write file to file system");
    return false;
  }
  char peer[INET_ADDRSTRLEN];
  LogMessage(0x80000000, FT_FLAGS_OPENED, "Receive File %s with handle %i from %s!\n", path, h,
             PeerText(slot, peer, sizeof(peer)));
  fh.lfp = std::move(f);
  fh.size = size;
  fh.position = 0;
  fh.crc = CRC32_INITIAL;
  fh.state = FT_RECEIVING;
  return true;
}

// Copies the requested name; an empty, cut or over-long name is unusable ("" then).
static void RequestedName(const Block& block, char name[QC_NAME_MAX + 1]) {
  name[0] = 0;
  if (block.Len < FT_START_NAME) return;
  size_t n = block.Data[10];
  if (n > QC_NAME_MAX || FT_START_NAME + n > block.Len) return;
  memcpy(name, &block.Data[FT_START_NAME], n);
  name[n] = 0;
}

void ParseStartTransfer(const Block& block, FTStartRequest* req) {
  RequestedName(block, req->name);
  if (!MapFileName(req->name, req->path, sizeof(req->path))) req->path[0] = 0;
  req->mode = (char)block.Data[5];
  req->size = GetBE32(&block.Data[6]);
}

bool CheckStartFileTransfer(Block& block, int slot) {
  int h = FreeHandle(slot);
  if (h < 0) {
    AnswerStart(block, FT_NO_HANDLE, 255, "out of free file handles");
    return true;
  }
  FTStartRequest req;
  ParseStartTransfer(block, &req);
  if (strcmp(req.name, "#State") == 0) MakeStateArchive();
  bool started;
  if (req.mode == 'r')
    started = StartReading(block, slot, h, req.path);
  else if (req.mode == 'w')
    started = StartWriting(block, slot, h, req.path, req.size);
  else {
    AnswerStart(block, FT_OK, (uint8_t)h, "");
    return true;
  }
  if (started) {
    FileHandle& fh = Handle(slot, h);
    fh.mode = req.mode;
    snprintf(fh.name, sizeof(fh.name), "%s", req.path);
    AnswerStart(block, FT_OK, (uint8_t)h, "");
  }
  return true;
}

static void SendResult(int slot, int h, uint32_t code, uint32_t crc, const char* message) {
  Block block;
  memset(&block, 0, sizeof(block));
  block.ID = ID_END_TRANSFER;
  size_t m = strlen(message);
  PutBE32(block.Data, code);
  block.Data[4] = (uint8_t)h;
  PutBE32(&block.Data[5], crc);
  block.Data[9] = (uint8_t)m;
  memcpy(&block.Data[10], message, m);
  block.Len = (uint16_t)(10 + m);
  SendBlock2Net(block, slot);
}

static void SendDataBlock(int slot, int h, uint32_t offset, const uint8_t* data, size_t len) {
  Block block;
  memset(&block, 0, sizeof(block));
  block.ID = ID_FILE_DATA;
  PutBE32(block.Data, offset);
  block.Data[4] = (uint8_t)h;
  memcpy(&block.Data[FT_DATA_HEADER], data, len);
  block.Len = (uint16_t)(FT_DATA_HEADER + len);
  SendBlock2Net(block, slot);
}

static void FinishReading(int slot, int h) {
  FileHandle& fh = Handle(slot, h);
  fh.crc = ~fh.crc;
  LogMessage(5, 0x42010066, "EndReadingFileTransfer");
  Block block;
  memset(&block, 0, sizeof(block));
  block.ID = ID_END_TRANSFER;
  block.Data[4] = (uint8_t)h;
  PutBE32(&block.Data[5], fh.crc);
  block.Len = 9;
  fh.state = FT_SENT;
  SendBlock2Net(block, slot);
}

static void SendNextData(int slot, int h) {
  FileHandle& fh = Handle(slot, h);
  uint8_t data[FT_PAYLOAD_MAX];
  uint32_t left = fh.size - fh.position;
  size_t want = left < FT_PAYLOAD_MAX ? left : FT_PAYLOAD_MAX;
  size_t n = want ? fread(data, 1, want, fh.lfp.get()) : 0;
  if (n < want) {
    // The file shrank or cannot be read any more: the tool gets an abort instead of endless empty blocks.
    perror("CheckStartFileTransfer: read");
    FreeFTHandle(slot, h);
    return;
  }
  if (n > 0) {
    fh.crc = Crc32Update(fh.crc, data, n);
    SendDataBlock(slot, h, fh.position, data, n);
    fh.position += (uint32_t)n;
  }
  if (fh.position >= fh.size) FinishReading(slot, h);
}

bool ServeFileTransfers(int slot) {
  bool sending = false;
  for (int h = 0; h < QC_FILE_HANDLES; h++) {
    if (Handle(slot, h).state != FT_SENDING) continue;
    SendNextData(slot, h);
    sending = sending || Handle(slot, h).state == FT_SENDING;
  }
  return sending;
}

bool ParseFTData(const Block& block, FTDataBlock* out) {
  // Too short to name a handle: nothing behind its length is taken for one.
  if (block.Len < FT_DATA_HEADER) return false;
  out->handle = block.Data[4];
  out->offset = GetBE32(block.Data);
  out->data = &block.Data[FT_DATA_HEADER];
  out->len = block.Len - FT_DATA_HEADER;
  return true;
}

void CheckFTData(const Block& block, int slot) {
  FTDataBlock d;
  if (!ParseFTData(block, &d))
    return (void)LogMessage(0x80000000, 0xA0000000, "ERROR: CheckFTData: wrong len!\n");
  int h = d.handle;
  if (h >= QC_FILE_HANDLES) return;
  FileHandle& fh = Handle(slot, h);
  if (fh.state != FT_RECEIVING) return;
  if (!fh.lfp)
    return (void)LogMessage(0x80000000, 0xA0000000, "ERROR: CheckFTData: FileHandles[%i].lfp == NULL!\n", h);
  if (fh.mode != 'w') return (void)LogMessage(0x80000000, 0xA0000000, "ERROR: CheckFTData: wrong mode!\n");
  if (d.offset >= fh.size)
    return (void)LogMessage(0x80000000, 0xA0000000, "ERROR: CheckFTData: wrong offset!\n");
  if (d.len > FT_PAYLOAD_MAX)
    return (void)LogMessage(0x80000000, 0xA0000000, "ERROR: CheckFTData: wrong len!\n");
  if (d.offset != fh.position) {
    ERRPRINT("offset Error Th %d FileHandle %d lastwr %d offser %d\n", slot, h, (int)fh.position,
             (int)d.offset);
    FreeFTHandle(slot, h);
    return;
  }
  if (fwrite(d.data, 1, d.len, fh.lfp.get()) != d.len) {
    perror("CheckFTData: write");
    FreeFTHandle(slot, h);
    return;
  }
  fh.position += (uint32_t)d.len;
  fh.crc = Crc32Update(fh.crc, d.data, d.len);
}

// Replaces the target by the complete temporary file; a crash leaves either the old or the new content.
static bool CommitUpload(FileHandle& fh, int slot, int h) {
  char tmp[FT_TEMP_NAME_SIZE];
  TempName(fh.name, slot, h, tmp);
  return CommitTempFile(std::move(fh.lfp), tmp, fh.name, true);
}

static void EndUpload(const FTEndBlock& end, int slot, int h) {
  FileHandle& fh = Handle(slot, h);
  uint32_t crc = ~fh.crc;
  LogMessage(0, 0x80000000, "chksum_r (read): 0x%08x\n", end.crc);
  LogMessage(0, 0x80000000, "chksum_c (calc): 0x%08x\n", crc);
  uint32_t code = FT_WRONG_CRC;
  const char* message = "wrong checksum";
  if (end.has_crc && end.crc == crc) {
    SendResult(slot, h, FT_UPLOAD_NOTICE, crc, "file transfer successful");
    if (CommitUpload(fh, slot, h)) {
      LogMessage(0x80000000, 0x80000000, "File %s written!", fh.name);
      code = FT_OK;
      message = "";
    } else {
      code = FT_CANT_WRITE;
      message = "can't write file to file system";
    }
  }
  SendResult(slot, h, code, crc, message);
  fh.state = FT_IDLE;
  FreeFTHandle(slot, h);
}

static void CheckAnswerEndFileTransfer(const FTEndBlock& end, int slot, int h) {
  FileHandle& fh = Handle(slot, h);
  LogMessage(5, 0x42010067, "CheckAnswerEndFileTransfer: handle %d result 0x%08x", h, end.code);
  if (fh.mode != 'r') return perror("ERROR: CheckAnswerEndFileTransfer: Not in read mode!\n");
  if (fh.state != FT_SENT) return perror("ERROR: CheckAnswerEndFileTransfer: Not in correct state!\n");
  if (end.code == FT_OK) {
    fh.state = FT_IDLE;
    FreeFTHandle(slot, h);
    return;
  }
  LogMessage(0x80000000, end.code, "TxError: %s\n", end.message);
}

bool ParseFTEnd(const Block& block, FTEndBlock* out) {
  if (block.Len <= FT_HANDLE_OFFSET) return false; // no handle
  out->handle = block.Data[FT_HANDLE_OFFSET];
  out->code = GetBE32(block.Data);
  // A block that ends before the checksum carries none: nothing behind its length is taken.
  out->has_crc = block.Len >= FT_END_CRC_END;
  out->crc = out->has_crc ? GetBE32(&block.Data[FT_END_CRC_OFFSET]) : 0;
  size_t m = block.Len > 10 ? block.Data[9] : 0;
  if (block.Len > 10 && m > (size_t)block.Len - 10) m = block.Len - 10;
  memcpy(out->message, &block.Data[10], m);
  out->message[m] = 0;
  return true;
}

void CheckEndFileTransfer(const Block& block, int slot) {
  FTEndBlock end;
  if (!ParseFTEnd(block, &end)) return;
  int h = end.handle;
  if (h >= QC_FILE_HANDLES) return;
  int state = Handle(slot, h).state;
  if (state == FT_RECEIVING)
    EndUpload(end, slot, h);
  else if (state == FT_SENT)
    CheckAnswerEndFileTransfer(end, slot, h);
}

void FreeFTHandle(int slot, int h) {
  FileHandle& fh = Handle(slot, h);
  if (fh.state != FT_IDLE) SendResult(slot, h, FT_ABORTED, 0, "transfer time out");
  if (fh.lfp) {
    fh.lfp.reset();
    // Only an upload has a temporary file; a download must not touch another transfer's one.
    if (fh.mode == 'w') {
      char tmp[FT_TEMP_NAME_SIZE];
      TempName(fh.name, slot, h, tmp);
      unlink(tmp);
      LogMessage(0x80000005, 0x42010068, "eraseing temporary file %s!\n", tmp);
    }
  }
  ClearHandle(fh);
  LogMessage(0x80000005, 0x42010069, "FreeFTHandle: Connection %d free()ed ft handle %i!\n", slot, h);
}

void AbortFileTransfers(int slot) {
  for (int h = 0; h < QC_FILE_HANDLES; h++)
    if (Handle(slot, h).lfp) FreeFTHandle(slot, h);
}
