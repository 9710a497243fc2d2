// Upload and download throughput of the service daemon's file transfer over loopback.
// Started by run-bench.sh inside the test sandbox: qelconnect_bench DAEMON [MiB]. Prints KiB/s.
#include "crc32.h"
#include "framereader.h"
#include "raii.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Received {
  std::vector<Block> blocks;
};

void OnError(void*, int, uint8_t) {}
void OnBlock(void* ctx, Block& b) {
  static_cast<Received*>(ctx)->blocks.push_back(b);
}

class Client {
public:
  bool Connect() {
    for (int i = 0; i < 300; i++) {
      fd_.reset(socket(AF_INET, SOCK_STREAM, 0));
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(QC_TCP_PORT);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd_.get(), (sockaddr*)&a, sizeof(a)) == 0) {
        int one = 1;
        setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        FrameReaderInit(&reader_);
        return true;
      }
      usleep(100000);
    }
    return false;
  }

  void Send(uint32_t id, const uint8_t* data, size_t len) {
    Block b{};
    b.ID = id;
    b.Len = (uint16_t)len;
    memcpy(b.Data, data, len);
    uint8_t frame[FRAME_MAX_SIZE];
    size_t n = FrameEncode(b, frame, sizeof(frame));
    if (write(fd_.get(), frame, n) != (ssize_t)n) Fail("write");
  }

  // Next block with the given ID; other blocks (log lines) are skipped.
  Block Expect(uint32_t id) {
    for (;;) {
      while (next_ < got_.blocks.size()) {
        Block b = got_.blocks[next_++];
        if (b.ID == id) return b;
      }
      got_.blocks.clear();
      next_ = 0;
      uint8_t buf[65536];
      ssize_t n = read(fd_.get(), buf, sizeof(buf));
      if (n <= 0) Fail("read");
      FrameReaderFeed(&reader_, buf, (size_t)n, &got_, OnError, OnBlock);
    }
  }

  [[noreturn]] static void Fail(const char* what) {
    perror(what);
    exit(2);
  }

private:
  UniqueFd fd_;
  FrameReader reader_;
  Received got_;
  size_t next_ = 0;
};

uint8_t StartTransfer(Client& c, char mode, const char* name, uint32_t size) {
  uint8_t d[11 + 64] = {0};
  d[5] = (uint8_t)mode;
  PutBE32(&d[6], size);
  d[10] = (uint8_t)strlen(name);
  memcpy(&d[11], name, d[10]);
  c.Send(ID_START_TRANSFER, d, 11 + d[10]);
  Block a = c.Expect(ID_START_TRANSFER);
  if (GetBE32(a.Data) != 0) Client::Fail("start transfer refused");
  return a.Data[4];
}

double Upload(Client& c, const std::vector<uint8_t>& content) {
  auto t0 = std::chrono::steady_clock::now();
  uint8_t h = StartTransfer(c, 'w', "/ram/bench.bin", (uint32_t)content.size());
  uint8_t d[255];
  for (size_t off = 0; off < content.size(); off += 250) {
    size_t n = content.size() - off < 250 ? content.size() - off : 250;
    PutBE32(d, (uint32_t)off);
    d[4] = h;
    memcpy(&d[5], &content[off], n);
    c.Send(ID_FILE_DATA, d, 5 + n);
  }
  uint8_t end[9] = {0};
  end[4] = h;
  PutBE32(&end[5], ~Crc32Update(CRC32_INITIAL, content.data(), content.size()));
  c.Send(ID_END_TRANSFER, end, sizeof(end));
  Block r;
  do
    r = c.Expect(ID_END_TRANSFER);
  while (GetBE32(r.Data) == 0x82010001u);
  if (GetBE32(r.Data) != 0) Client::Fail("upload not accepted");
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Download(Client& c, const std::vector<uint8_t>& expected) {
  auto t0 = std::chrono::steady_clock::now();
  uint8_t h = StartTransfer(c, 'r', "/ram/bench.bin", 0);
  std::vector<uint8_t> got;
  got.reserve(expected.size());
  for (;;) {
    Block b = c.Expect(got.size() < expected.size() ? ID_FILE_DATA : ID_END_TRANSFER);
    if (b.ID == ID_END_TRANSFER) break;
    got.insert(got.end(), b.Data + 5, b.Data + b.Len);
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  uint8_t answer[10] = {0};
  answer[4] = h;
  c.Send(ID_END_TRANSFER, answer, sizeof(answer));
  if (got != expected) Client::Fail("download differs");
  return s;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s DAEMON [MiB]\n", argv[0]);
    return 1;
  }
  size_t mib = argc > 2 ? (size_t)atoi(argv[2]) : 4;
  Crc32BuildTable();
  pid_t daemon = fork();
  if (daemon == 0) {
    if (!freopen("/var/qeltest/bench-daemon.log", "w", stderr)) _exit(126);
    execl(argv[1], argv[1], (char*)nullptr);
    _exit(127);
  }
  std::vector<uint8_t> content(mib << 20);
  srand(7);
  for (auto& b : content)
    b = (uint8_t)rand();
  Client c;
  if (!c.Connect()) Client::Fail("connect");
  double up = Upload(c, content);
  double down = Download(c, content);
  double kib = (double)content.size() / 1024.0;
  printf("qelconnect file transfer of %zu MiB over loopback: upload %.0f KiB/s (%.2f s), download %.0f KiB/s "
         "(%.2f s)\n",
         mib, kib / up, up, kib / down, down);
  kill(daemon, SIGTERM);
  waitpid(daemon, nullptr, 0);
  return 0;
}
