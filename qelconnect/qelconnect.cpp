// Process entry of the service daemon: boot counter, device identity, threads and the TCP accept loop.
#include "qelconnect.h"
#include "crc32.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#define BOOT_COUNTER_PATH "/root/cnt"
#define BOOT_COUNTER_LIMIT 10
#define STATUS_PERIOD_S 2
#define STATUS_PERIOD_EXTRA_US 1000000

// The signal handler only records the signal; the accept loop runs the cleanup outside signal context.
static volatile sig_atomic_t PendingSignal;
static int SignalPipe[2] = {-1, -1};

static void OnSignal(int sig) {
  int saved = errno;
  PendingSignal = sig;
  if (write(SignalPipe[1], "s", 1) < 0) {
  }
  errno = saved;
}

static void InstallSignals() {
  if (pipe(SignalPipe) == 0) {
    fcntl(SignalPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(SignalPipe[1], F_SETFL, O_NONBLOCK);
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
  for (int sig : signals)
    sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

static void CountBoot() {
  int count = 0;
  FilePtr in(fopen(BOOT_COUNTER_PATH, "r"));
  if (in && fscanf(in.get(), "%d", &count) != 1) count = 0;
  in.reset();
  count++;
  if (count > BOOT_COUNTER_LIMIT) {
    // The daemon keeps dying soon after start: reboot the device.
    execl("/bin/busybox", "reboot", (char*)nullptr);
    perror("execl /bin/busybox");
    return;
  }
  FilePtr out(fopen(BOOT_COUNTER_PATH, "w"));
  if (out) fprintf(out.get(), "%d\n", count);
}

static void ReadDeviceIdentity() {
  FilePtr f(fopen("/etc/serial", "r"));
  if (!f) return;
  char line[128];
  while (fgets(line, sizeof(line), f.get())) {
    unsigned a, b, c;
    int board;
    if (sscanf(line, "serial1=%x:%x:%x\n", &a, &b, &c) == 3)
      SerialNumber = ((a & 0xFF) << 16) + ((b & 0xFF) << 8) + (c & 0xFF);
    else if (sscanf(line, "BaseBoard=%d\n", &board) == 1)
      BoardType = board;
  }
}

static pthread_t UdpThread, FwThread;

static void StartThreads() {
  if (pthread_create(&UdpThread, nullptr, UdpThreadFunc, nullptr) != 0) perror("net create");
  if (pthread_create(&FwThread, nullptr, FwThreadFunc, nullptr) != 0) perror("net create");
}

static void CleanUp() {
  LogMessage(0, 0x80000000, "Cleaning up...");
  running.store(0);
  pthread_join(UdpThread, nullptr);
  pthread_join(FwThread, nullptr);
  WaitConnectionsClosed(2000);
  ERRPRINT("Cleaning up, Done.\n");
}

static int SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value));
}

static int OpenListenSocket() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    perror("updd: socket() on ListenSocket");
    CleanUp();
    exit(1);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1) < 0) {
    perror("updd: setsockopt() on ListenSocket");
    exit(-1);
  }
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(QC_TCP_PORT);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, (sockaddr*)&addr, sizeof(addr)) < 0) {
    perror("updd: bind() on ListenSocket");
    exit(-2);
  }
  if (listen(fd, 3) < 0) {
    perror("updd: listen() on ListenSocket");
    exit(-3);
  }
  return fd;
}

static void AcceptConnection(int listener) {
  sockaddr_in peer;
  socklen_t len = sizeof(peer);
  int fd = accept(listener, (sockaddr*)&peer, &len);
  if (fd < 0) return;
  ERRPRINT("accept %d\n", fd);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 10);
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
  CreateExtThread(fd, peer);
}

static void AcceptLoop() {
  UniqueFd listener(OpenListenSocket());
  while (!PendingSignal) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener.get(), &readable);
    FD_SET(SignalPipe[0], &readable);
    timeval timeout = {STATUS_PERIOD_S, STATUS_PERIOD_EXTRA_US};
    int r = select((listener.get() > SignalPipe[0] ? listener.get() : SignalPipe[0]) + 1, &readable, nullptr,
                   nullptr, &timeout);
    if (PendingSignal) break;
    if (r == 0) {
      WriteConnectionStatus();
    } else if (r < 0) {
      if (errno == EINTR) continue;
      WriteConnectionStatus();
      ERRPRINT("Listensocket %d Res %d\n", listener.get(), r);
      listener.reset();
      listener.reset(OpenListenSocket());
    } else if (FD_ISSET(listener.get(), &readable)) {
      AcceptConnection(listener.get());
    }
  }
}

int main() {
  ERRPRINT("starting qelconnect\n");
  InstallSignals();
  Crc32BuildTable();
  CountBoot();
  OpenSystemLog();
  ReadDeviceIdentity();
  InitConnections();
  StartThreads();
  AcceptLoop();
  ERRPRINT("Got signal %i.\n", (int)PendingSignal);
  CleanUp();
  return 1;
}
