#include "HostNameResolver.h"

#include <arpa/inet.h>

#include <cctype>

namespace Qel_nmos_bridge {

bool IsMulticastDNSHost(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  static const char suffix[] = ".local";
  const size_t length = sizeof(suffix) - 1;
  if (name.size() <= length) return false;
  for (size_t i = 0; i < length; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - length + i])) != suffix[i]) return false;
  const std::string label = name.substr(0, name.size() - length);
  if (label.back() == '.') return false; // "..local"
  unsigned char bytes[16];
  return inet_pton(AF_INET, name.c_str(), bytes) != 1 && inet_pton(AF_INET6, name.c_str(), bytes) != 1;
}

} // namespace Qel_nmos_bridge
