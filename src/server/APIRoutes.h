// The routes of the Node API and the Connection API: every URL the node serves, with the handler that
// answers it. The versions each API serves are values of the table: another version is another value
// here (and, where its documents differ, another view in the handlers), not another set of routes.
#pragma once

#include "RouteTable.h"

namespace Qel_nmos_bridge {

extern const Qel_rest_srv::TAPIVersions NodeAPIVersions;
extern const Qel_rest_srv::TAPIVersions ConnectionAPIVersions;

// The routes, in the order they are matched.
std::vector<Qel_rest_srv::TRoute> APIRouteList();
// The table of those routes, built on first use and never changed.
const Qel_rest_srv::TRouteTable& APIRoutes();

} // namespace Qel_nmos_bridge
