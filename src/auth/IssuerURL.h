// URLs of authorization servers as the node compares and follows them.
#pragma once

#include <string>

namespace Qel_auth {

// The URL without trailing slashes: an issuer named with and without one is the same server.
inline std::string WithoutTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/')
    url.pop_back();
  return url;
}

inline bool IsHTTPURL(const std::string& url) {
  return url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0;
}

} // namespace Qel_auth
