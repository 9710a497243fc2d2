// Process-wide state shared by the daemon's threads.
#include "qelconnect.h"

std::atomic<int> running{1};
uint32_t SerialNumber;
int BoardType;
TrafficCounters UdpTraffic;
TrafficCounters FwTraffic;
std::atomic<int> BCSocket{-1};
std::atomic<int> FwClientSocket{-1};
