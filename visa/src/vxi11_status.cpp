#include "vxi11_status.h"

#include "rpc/vxi11_wire.h"

namespace benchfw::visa {

ViStatus vxi11ErrorStatus(std::int32_t error) {
  using namespace rpc::vxi11;
  switch (error) {
    case kNoError: return VI_SUCCESS;
    // The server no longer knows our link or the device behind it: it has
    // restarted or dropped us.
    case kDeviceNotAccessible:
    case kInvalidLinkId: return VI_ERROR_CONN_LOST;
    case kParameterError:
    case kInvalidAddress: return VI_ERROR_INV_PARAMETER;
    case kChannelNotEstablished:
    case kOperationNotSupported:
    case kChannelAlreadyEstablished: return VI_ERROR_NSUP_OPER;
    case kOutOfResources: return VI_ERROR_ALLOC;
    case kDeviceLocked: return VI_ERROR_RSRC_LOCKED;
    case kNoLockHeld: return VI_ERROR_SESN_NLOCKED;
    case kIoTimeout: return VI_ERROR_TMO;
    case kAbort: return VI_ERROR_ABORT;
    case kSyntaxError:
    case kIoError:
    default: return VI_ERROR_IO;
  }
}

ViStatus vxi11CreateLinkStatus(std::int32_t error) {
  using namespace rpc::vxi11;
  switch (error) {
    case kDeviceNotAccessible:
    case kInvalidAddress: return VI_ERROR_RSRC_NFOUND;
    default: return vxi11ErrorStatus(error);
  }
}

ViStatus rpcOutcomeStatus(RpcOutcome outcome) {
  switch (outcome) {
    case RpcOutcome::success: return VI_SUCCESS;
    case RpcOutcome::procUnavail: return VI_ERROR_NSUP_OPER;
    case RpcOutcome::progUnavail:
    case RpcOutcome::failed: return VI_ERROR_IO;
  }
  return VI_ERROR_IO;
}

}  // namespace benchfw::visa
