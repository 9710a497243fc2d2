// The route tables of the Node API and Connection API: which URLs each kind of resource serves and with
// which handler. Resources refer to one of these definitions for their whole life.
#pragma once

#include "RestSrv_API.h"

namespace Qel_nmos_bridge {

extern const Qel_rest_srv::TRESTHandler_Static_Def REST_Def_Node_Read;
extern const Qel_rest_srv::TRESTHandler_Static_Def REST_Def_Device_Read;
extern const Qel_rest_srv::TRESTHandler_Static_Def REST_Def_Generic_Read;
extern const Qel_rest_srv::TRESTHandler_Static_Def REST_Def_Sender;
extern const Qel_rest_srv::TRESTHandler_Static_Def REST_Def_Receiver;

} // namespace Qel_nmos_bridge
