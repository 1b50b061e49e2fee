// ONC RPC version 2 call and reply headers (AUTH_NONE), as used by the
// portmapper and VXI-11. Calls may carry any credential flavour; the
// bodies are skipped by their length, never assumed to be empty.
#ifndef BENCHFW_RPC_MESSAGE_H
#define BENCHFW_RPC_MESSAGE_H

#include <cstddef>
#include <cstdint>

#include "rpc/xdr.h"

namespace benchfw::rpc {

inline constexpr std::uint32_t kRpcVersion = 2;
inline constexpr std::uint32_t kMsgCall = 0;
inline constexpr std::uint32_t kMsgReply = 1;
inline constexpr std::uint32_t kAuthNone = 0;
// Credential and verifier bodies are opaque<400>.
inline constexpr std::size_t kMaxAuthBody = 400;
// xid .. verifier of a call with AUTH_NONE, the bytes before the arguments.
inline constexpr std::size_t kCallHeaderSize = 40;

enum class AcceptStat : std::uint32_t {
  success = 0,
  progUnavail = 1,
  progMismatch = 2,
  procUnavail = 3,
  garbageArgs = 4,
  systemErr = 5,
};

enum class RejectStat : std::uint32_t { rpcMismatch = 0, authError = 1 };

struct CallHeader {
  std::uint32_t xid = 0;
  std::uint32_t rpcVersion = kRpcVersion;
  std::uint32_t program = 0;
  std::uint32_t version = 0;
  std::uint32_t procedure = 0;
};

struct ReplyHeader {
  std::uint32_t xid = 0;
  bool accepted = false;
  std::uint32_t status = 0;  // AcceptStat when accepted, RejectStat otherwise
  // Supported version range for PROG_MISMATCH / RPC_MISMATCH; auth_stat in
  // `low` for AUTH_ERROR.
  std::uint32_t low = 0;
  std::uint32_t high = 0;

  bool succeeded() const {
    return accepted && status == static_cast<std::uint32_t>(AcceptStat::success);
  }
};

void putCallHeader(XdrWriter& out, const CallHeader& call);
// Reads a call up to its arguments. False when the bytes are not an RPC
// call at all (wrong message type, truncated, oversized auth body).
bool getCallHeader(XdrReader& in, CallHeader* call);

// An accepted reply up to its results; PROG_MISMATCH carries low/high.
void putAcceptedReply(XdrWriter& out, std::uint32_t xid, AcceptStat stat,
                      std::uint32_t low = 0, std::uint32_t high = 0);
void putRpcVersionMismatch(XdrWriter& out, std::uint32_t xid);
// Reads a reply up to its results (positioned there when succeeded()).
bool getReplyHeader(XdrReader& in, ReplyHeader* reply);

}  // namespace benchfw::rpc

#endif
