// The status page's document and the Content-Security-Policy that goes with it.
#pragma once

#include <string>

namespace Qel_nmos_bridge {

// The whole HTML document (UTF-8).
const std::string& StatusPageHTML();
// A policy that lets only the page's own inline style and script run and its fetches reach its own
// origin only.
const std::string& StatusPageCSP();

} // namespace Qel_nmos_bridge
