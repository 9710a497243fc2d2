#include "NMOSRESTHandlers.h"

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;

// The Node API and Connection API routes join these definitions with their handlers; until then the
// resources own no URLs and every request is answered 404.
namespace {
const TRESTHandlerData NoRoutes{nullptr};
} // namespace

const TRESTHandler_Static_Def REST_Def_Node_Read{NoRoutes};
const TRESTHandler_Static_Def REST_Def_Device_Read{NoRoutes};
const TRESTHandler_Static_Def REST_Def_Generic_Read{NoRoutes};
const TRESTHandler_Static_Def REST_Def_Sender{NoRoutes};
const TRESTHandler_Static_Def REST_Def_Receiver{NoRoutes};

} // namespace Qel_nmos_bridge
