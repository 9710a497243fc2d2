#include "Srv_BaseConfig.h"

const CLASSID QELWS_BASE = "QELWS_BASE";

TQELWebServerConfig::TQELWebServerConfig(int argc, char** argv) {
  Args.reserve(argc > 0 ? static_cast<size_t>(argc) : 0);
  for (int i = 0; i < argc; ++i)
    Args.emplace_back(argv[i] ? argv[i] : "");
}

bool TQELWebServerConfig::Reload() {
  DoClear();
  bool ok = DoInit();
  DumpConfig(stdout);
  return ok;
}

void TQELWebServerConfig::DumpConfig(FILE*) {
  puts("****\nTQELNMOSConfig::DumpConfig");
  puts("****");
}
