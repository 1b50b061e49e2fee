// How VXI-11 outcomes become VISA statuses. Where VISA's own status
// meanings decide it (timeouts, locks, parameters) we follow them; where
// they are silent we follow what other VISA libraries settled on, so a
// script sees the same codes whichever library it runs on.
#ifndef BENCHFW_VISA_VXI11_STATUS_H
#define BENCHFW_VISA_VXI11_STATUS_H

#include <cstdint>

#include "visa.h"
#include "vxi11_rpc_channel.h"

namespace benchfw::visa {

// The `error` field of a reply on an open link.
ViStatus vxi11ErrorStatus(std::int32_t error);

// create_link's `error`: an unknown device means there is no such
// instrument, and a lock we cannot have is a locked resource.
ViStatus vxi11CreateLinkStatus(std::int32_t error);

// A reply's RPC-level verdict on an open link (VI_SUCCESS for success).
ViStatus rpcOutcomeStatus(RpcOutcome outcome);

}  // namespace benchfw::visa

#endif
