// aes67fw-sim: stands in for the device's AES67 firmware service (websocket JSON documents, SDP files) so
// that nmos-bridge can be developed, tested and shown without the device.
#include "firmware.hpp"
#include "scenario.hpp"
#include "server.hpp"

#include <arpa/inet.h>
#include <libwebsockets.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

namespace {

using namespace aes67fw_sim;

constexpr unsigned kMaxStreams = 1024;

const char* kUsage =
    R"(Usage: aes67fw-sim [--listen ADDR:PORT] [--device-ip ADDR] [--scenario FILE] [--streams N]
                   [--resend SECONDS] [--verbose]

Simulates the device's AES67 firmware service for nmos-bridge.

  --listen ADDR:PORT  where to listen (default 127.0.0.1:8080); port 0 picks a free port
  --device-ip ADDR    the device's address in the built-in state ("ip"), which nmos-bridge advertises
                      and fetches transport files from (default: the listening address; 127.0.0.1
                      when that is 0.0.0.0)
  --scenario FILE     JSON file {"config": {...}, "state": {...}} with the two documents
  --streams N         transmit and receive streams of the built-in scenario (default 8)
  --resend SECONDS    send both documents again every SECONDS (default 5, 0: never)
  --verbose           libwebsockets notices on stderr
  --help              this text

Websocket on path "/" with subprotocol "WS-protocol": on connection the configuration ("cmd" 0) and
state ("cmd" 1) documents, a heartbeat ("cmd" 3) every second, both documents again every few seconds.
Message 10 sets a receive stream's "source" and "enabled" and pushes both documents; message 14 is
recorded. Undecodable commands are answered with "cmd" -1.

HTTP on the same port:
  GET    /sdp/<sender-id>.sdp   SDP of the transmit stream with that "id"
  GET    /scenario              {"config": ..., "state": ...}
  PUT    /scenario/config       replace the configuration and push it (400 on invalid JSON)
  PUT    /scenario/state        replace the state and push it
  GET    /received              messages received from clients, oldest first
  DELETE /received              forget them

When ready it prints "aes67fw-sim listening on ADDR:PORT" on stdout. SIGINT or SIGTERM end it (exit 0).
)";

struct Options {
  ServerOptions server;
  std::optional<std::string> device_ip;
  std::optional<std::string> scenario;
  unsigned streams = 8;
  bool verbose = false;
};

bool ParseUnsigned(const std::string& text, unsigned max, unsigned& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
    return false;
  const unsigned long v = std::stoul(text);
  if (v > max) return false;
  out = static_cast<unsigned>(v);
  return true;
}

bool ParseListen(const std::string& text, ServerOptions& server) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  unsigned port = 0;
  if (!ParseUnsigned(text.substr(colon + 1), 65535, port)) return false;
  server.address = text.substr(0, colon);
  server.port = static_cast<int>(port);
  return true;
}

bool IsIpv4(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// The device's address as the bridge sees it: where the simulator can be reached. A simulator listening
// on every address is reached on loopback; nothing it reports may lead a client off this machine.
std::string DeviceIp(const Options& options) {
  if (options.device_ip) return *options.device_ip;
  const std::string& listen = options.server.address;
  if (!IsIpv4(listen) || listen == "0.0.0.0") return "127.0.0.1";
  return listen;
}

// Returns an exit code when the program should end at once.
std::optional<int> ParseArgs(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--verbose") {
      options.verbose = true;
      continue;
    }
    const bool has_value = i + 1 < argc;
    const std::string value = has_value ? argv[i + 1] : "";
    bool ok = has_value;
    if (arg == "--listen")
      ok = ok && ParseListen(value, options.server);
    else if (arg == "--device-ip") {
      ok = ok && IsIpv4(value);
      options.device_ip = value;
    } else if (arg == "--scenario")
      options.scenario = value;
    else if (arg == "--streams")
      ok = ok && ParseUnsigned(value, kMaxStreams, options.streams);
    else if (arg == "--resend")
      ok = ok && ParseUnsigned(value, 86400, options.server.resend_seconds);
    else
      ok = false;
    if (!ok) {
      std::cerr << "aes67fw-sim: bad argument " << arg << (has_value ? " " + value : "") << "\n" << kUsage;
      return 2;
    }
    ++i;
  }
  return std::nullopt;
}

volatile std::sig_atomic_t g_stop = 0;
Server* g_server = nullptr; // for waking the loop from the signal handler

void OnSignal(int) {
  g_stop = 1;
  if (g_server != nullptr) g_server->Wake();
}

void InstallSignals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int Run(const Options& options) {
  lws_set_log_level(options.verbose ? LLL_ERR | LLL_WARN | LLL_NOTICE : LLL_ERR, nullptr);
  Firmware firmware(options.scenario ? LoadScenario(*options.scenario)
                                     : BuiltinScenario(options.streams, DeviceIp(options)));
  Server server(firmware, options.server);
  g_server = &server;
  std::printf("aes67fw-sim listening on %s:%d\n", options.server.address.c_str(), server.Port());
  std::fflush(stdout);
  server.Run(g_stop);
  g_server = nullptr;
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto code = ParseArgs(argc, argv, options)) return *code;
  InstallSignals();
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::cerr << "aes67fw-sim: " << e.what() << "\n";
    return 1;
  }
}
