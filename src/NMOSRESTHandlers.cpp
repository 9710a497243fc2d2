#include "NMOSRESTHandlers.h"

#include "NMOSAPIHandlers.h"
#include "RestEndPoints.h"

namespace Qel_nmos_bridge {

using namespace Qel_rest_srv;

namespace {

const char* const RootList = "[\"x-nmos\", \"stats\"]";
const char* const NodeAPIList =
    "[\"self/\", \"devices/\", \"senders/\", \"receivers/\", \"flows/\", \"sources/\"]";
const char* const SenderList = "[\"constraints/\", \"staged/\", \"active/\", \"transportfile/\"]";
const char* const ReceiverList = "[\"constraints/\", \"staged/\", \"active/\"]";

// The fixed URLs of the API tree, owned by the node.
const TMultiURLHandlerData NodeReadRoutes = {
    {"", MakeEndPointHandler(RootList)},
    // Never matched (request URLs lose their trailing "/"): the root is the empty URL above.
    {"/", MakeEndPointHandler(RootList)},
    {"/stats", MakeEndPointHandler(ShowStats)},
    {"/x-nmos", MakeEndPointHandler("[\"node/\", \"connection/\"]")},
    {"/x-nmos/node", MakeEndPointHandler("[\"v1.0/\", \"v1.2/\"]")},
    {"/x-nmos/node/v1.0", MakeEndPointHandler(NodeAPIList)},
    {"/x-nmos/node/v1.0/self", MakeEndPointHandler(ShowNode)},
    {"/x-nmos/node/v1.0/devices", MakeEndPointHandler(ListNodes, "/devices")},
    {"/x-nmos/node/v1.0/senders", MakeEndPointHandler(ListNodes, "/senders")},
    {"/x-nmos/node/v1.0/receivers", MakeEndPointHandler(ListNodes, "/receivers")},
    {"/x-nmos/node/v1.0/flows", MakeEndPointHandler(ListNodes, "/flows")},
    {"/x-nmos/node/v1.0/sources", MakeEndPointHandler(ListNodes, "/sources")},
    {"/x-nmos/node/${VERSION_IS04}", MakeEndPointHandler(NodeAPIList)},
    {"/x-nmos/node/${VERSION_IS04}/self", MakeEndPointHandler(ShowNode)},
    {"/x-nmos/node/${VERSION_IS04}/devices", MakeEndPointHandler(ListNodes, "/devices")},
    {"/x-nmos/node/${VERSION_IS04}/senders", MakeEndPointHandler(ListNodes, "/senders")},
    {"/x-nmos/node/${VERSION_IS04}/receivers", MakeEndPointHandler(ListNodes, "/receivers")},
    {"/x-nmos/node/${VERSION_IS04}/flows", MakeEndPointHandler(ListNodes, "/flows")},
    {"/x-nmos/node/${VERSION_IS04}/sources", MakeEndPointHandler(ListNodes, "/sources")},
    {"/x-nmos/connection", MakeEndPointHandler("[\"v1.0/\"]")},
    {"/x-nmos/connection/${VERSION_IS05}", MakeEndPointHandler("[\"bulk/\", \"single/\"]")},
    {"/x-nmos/connection/${VERSION_IS05}/bulk", MakeEndPointHandler("[\"senders/\", \"receivers/\"]")},
    {"/x-nmos/connection/${VERSION_IS05}/bulk/senders",
     MakeEndPointHandler(HandleConnection_Bulk_Senders, "/senders")},
    {"/x-nmos/connection/${VERSION_IS05}/bulk/receivers",
     MakeEndPointHandler(HandleConnection_Bulk_Receivers, "/receivers")},
    {"/x-nmos/connection/${VERSION_IS05}/single", MakeEndPointHandler("[\"senders/\", \"receivers/\"]")},
    {"/x-nmos/connection/${VERSION_IS05}/single/senders", MakeEndPointHandler(ListUUIDs, "/senders")},
    {"/x-nmos/connection/${VERSION_IS05}/single/receivers", MakeEndPointHandler(ListUUIDs, "/receivers")},
};

// Devices and flows are served under both Node API versions.
const TMultiURLHandlerData ReadRoutes = {
    {"/x-nmos/node/v1.0${ID}", MakeEndPointHandler(ShowNode)},
    {"/x-nmos/node/${VERSION_IS04}${ID}", MakeEndPointHandler(ShowNode)},
};

// Senders and receivers are served under both Node API versions too: the v1.0 lists announce them.
const TMultiURLHandlerData SenderRoutes = {
    {"/x-nmos/node/v1.0${ID}", MakeEndPointHandler(ShowNode)},
    {"/x-nmos/node/${VERSION_IS04}${ID}", MakeEndPointHandler(ShowNode)},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}", MakeEndPointHandler(SenderList)},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}/constraints",
     MakeEndPointHandler(HandleConnection_Single_Sender_Constraints, "${ID}")},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}/staged",
     MakeEndPointHandler(HandleConnection_Single_Sender_Staged, "${ID}")},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}/active",
     MakeEndPointHandler(HandleConnection_Single_Sender_Active, "${ID}")},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}/transportfile",
     MakeEndPointHandler(HandleConnection_Single_Sender_TransportFile, "${ID}")},
};

const TMultiURLHandlerData ReceiverRoutes = {
    {"/x-nmos/node/v1.0${ID}", MakeEndPointHandler(ShowNode)},
    {"/x-nmos/node/v1.0${ID}/target", MakeEndPointHandler(HandleConnection_IS04, "${ID}")},
    {"/x-nmos/node/${VERSION_IS04}${ID}", MakeEndPointHandler(ShowNode)},
    {"/x-nmos/node/${VERSION_IS04}${ID}/target", MakeEndPointHandler(HandleConnection_IS04, "${ID}")},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}", MakeEndPointHandler(ReceiverList)},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}/constraints",
     MakeEndPointHandler(HandleConnection_Single_Receiver_Constraints, "${ID}")},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}/staged",
     MakeEndPointHandler(HandleConnection_Single_Receiver_Staged, "${ID}")},
    {"/x-nmos/connection/${VERSION_IS05}/single${ID}/active",
     MakeEndPointHandler(HandleConnection_Single_Receiver_Active, "${ID}")},
};

const TRESTHandlerData NodeReadData{&NodeReadRoutes};
const TRESTHandlerData ReadData{&ReadRoutes};
const TRESTHandlerData SenderData{&SenderRoutes};
const TRESTHandlerData ReceiverData{&ReceiverRoutes};

} // namespace

const TRESTHandler_Static_Def REST_Def_Node_Read{NodeReadData};
const TRESTHandler_Static_Def REST_Def_Device_Read{ReadData};
const TRESTHandler_Static_Def REST_Def_Generic_Read{ReadData};
const TRESTHandler_Static_Def REST_Def_Sender{SenderData};
const TRESTHandler_Static_Def REST_Def_Receiver{ReceiverData};

} // namespace Qel_nmos_bridge
