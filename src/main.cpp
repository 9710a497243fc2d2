// nmos-bridge: supervises one bridge object; re-creates it when an exception escapes from it and ends
// on SIGINT or SIGTERM (a service manager's stop), either one; a second signal ends the process at once
// with status 1.
#include "NMOSBridgeConfig.h"
#include "NMOSBridge_API.h"
#include "helpers.h"

#include <libwebsockets.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <exception>
#include <unistd.h>

using Qel_nmos_bridge::IQELNMOSBridge;

namespace {

volatile sig_atomic_t force_exit = 0;

void sighandler(int) {
  if (force_exit) _exit(1);
  force_exit = 1;
}

// One second between polls; a signal does not cut it short, so a stop is noticed at the next poll
// and a second SIGINT within that second still finds the first one pending.
void PollPause() {
  struct timespec left = {1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void DestroyBridge(IQELNMOSBridge*& bridge) {
  if (!bridge) return;
  bridge->Destroy();
  bridge = nullptr;
}

} // namespace

int main(int argc, char** argv) {
  lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
  lws_log(QLLL_INFO, "QEL NMOS Bridge V1.0 PROTOTYPE %s %s\n", __DATE__, __TIME__);
  TQELNMOSConfig config(argc, argv);

  struct sigaction sa = {};
  sa.sa_handler = sighandler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  IQELNMOSBridge* bridge = nullptr;
  while (!force_exit) {
    try {
      if (!bridge) {
        lws_log(QLLL_INFO, "NMOS Bridge needs to be created");
        bridge = IQELNMOSBridge::Create(&config);
      }
      while (!force_exit && bridge->DoCycle())
        PollPause();
      break;
    } catch (const std::exception& e) {
      lws_log(QLLL_ERR, "main loop exception catched: %s\n", e.what());
      DestroyBridge(bridge);
    } catch (const char* e) {
      lws_log(QLLL_ERR, "main loop exception catched: %s\n", e);
      DestroyBridge(bridge);
    }
  }
  if (bridge) {
    lws_log(QLLL_INFO, "Cleanup...\n");
    DestroyBridge(bridge);
  }
  return 0;
}
