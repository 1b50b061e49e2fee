#include "rpc/message.h"

#include <span>

namespace benchfw::rpc {
namespace {

void putNullAuth(XdrWriter& out) {
  out.putU32(kAuthNone);
  out.putU32(0);
}

bool skipAuth(XdrReader& in) {
  std::uint32_t flavor = 0;
  std::span<const std::uint8_t> body;
  return in.getU32(&flavor) && in.getOpaque(&body, kMaxAuthBody);
}

}  // namespace

void putCallHeader(XdrWriter& out, const CallHeader& call) {
  out.putU32(call.xid);
  out.putU32(kMsgCall);
  out.putU32(call.rpcVersion);
  out.putU32(call.program);
  out.putU32(call.version);
  out.putU32(call.procedure);
  putNullAuth(out);
  putNullAuth(out);
}

bool getCallHeader(XdrReader& in, CallHeader* call) {
  std::uint32_t type = 0;
  return in.getU32(&call->xid) && in.getU32(&type) && type == kMsgCall &&
         in.getU32(&call->rpcVersion) && in.getU32(&call->program) &&
         in.getU32(&call->version) && in.getU32(&call->procedure) &&
         skipAuth(in) && skipAuth(in);
}

void putAcceptedReply(XdrWriter& out, std::uint32_t xid, AcceptStat stat,
                      std::uint32_t low, std::uint32_t high) {
  out.putU32(xid);
  out.putU32(kMsgReply);
  out.putU32(0);  // MSG_ACCEPTED
  putNullAuth(out);
  out.putU32(static_cast<std::uint32_t>(stat));
  if (stat == AcceptStat::progMismatch) {
    out.putU32(low);
    out.putU32(high);
  }
}

void putRpcVersionMismatch(XdrWriter& out, std::uint32_t xid) {
  out.putU32(xid);
  out.putU32(kMsgReply);
  out.putU32(1);  // MSG_DENIED
  out.putU32(static_cast<std::uint32_t>(RejectStat::rpcMismatch));
  out.putU32(kRpcVersion);
  out.putU32(kRpcVersion);
}

bool getReplyHeader(XdrReader& in, ReplyHeader* reply) {
  std::uint32_t type = 0;
  std::uint32_t replyStat = 0;
  if (!in.getU32(&reply->xid) || !in.getU32(&type) || type != kMsgReply ||
      !in.getU32(&replyStat))
    return false;
  if (replyStat == 0) {
    reply->accepted = true;
    if (!skipAuth(in) || !in.getU32(&reply->status)) return false;
    if (reply->status == static_cast<std::uint32_t>(AcceptStat::progMismatch))
      return in.getU32(&reply->low) && in.getU32(&reply->high);
    return true;
  }
  if (replyStat != 1) return false;
  reply->accepted = false;
  if (!in.getU32(&reply->status)) return false;
  if (reply->status == static_cast<std::uint32_t>(RejectStat::rpcMismatch))
    return in.getU32(&reply->low) && in.getU32(&reply->high);
  return in.getU32(&reply->low);
}

}  // namespace benchfw::rpc
