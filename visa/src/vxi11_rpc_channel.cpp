#include "vxi11_rpc_channel.h"

#include <utility>
#include <vector>

namespace benchfw::visa {

RpcChannel::RpcChannel(FileDescriptor fd, std::uint32_t program, std::uint32_t version,
                       std::size_t maxReply, std::uint32_t firstXid)
    : fd_(std::move(fd)), program_(program), version_(version), xid_(firstXid - 1),
      reply_(maxReply) {}

rpc::OutgoingRecord& RpcChannel::begin(std::uint32_t procedure) {
  head_.clear();
  ++xid_;
  rpc::putCallHeader(head_.xdr(), {xid_, rpc::kRpcVersion, program_, version_, procedure});
  return head_;
}

ViStatus RpcChannel::breakStream() {
  fd_.reset();
  return VI_ERROR_IO;
}

ViStatus RpcChannel::send(const ConstBuffer* bulk, std::size_t bulkCount,
                          const Deadline& deadline) {
  std::size_t bulkBytes = 0;
  for (std::size_t i = 0; i < bulkCount; ++i) bulkBytes += bulk[i].size;
  const std::size_t pad = rpc::xdrPad(bulkBytes);
  if (!head_.seal(bulkBytes + pad)) return VI_ERROR_IO;

  std::vector<ConstBuffer> parts;
  parts.reserve(bulkCount + 2);
  parts.push_back({head_.head().data(), head_.head().size()});
  for (std::size_t i = 0; i < bulkCount; ++i)
    if (bulk[i].size) parts.push_back(bulk[i]);
  if (pad) parts.push_back({rpc::kZeroPad, pad});

  std::size_t sent = 0;
  const ViStatus status = sendAll(fd_.get(), parts.data(), parts.size(), deadline, &sent);
  if (status != VI_SUCCESS) {
    // Half a record on the wire cannot be taken back: the server would read
    // the next call as the rest of this one.
    if (sent != 0 || status != VI_ERROR_TMO) fd_.reset();
    return status;
  }
  return VI_SUCCESS;
}

ViStatus RpcChannel::receiveRecord(const Deadline& deadline) {
  while (!reply_.done()) {
    std::size_t room = 0;
    std::uint8_t* at = reply_.prepare(&room);
    std::size_t got = 0;
    const ViStatus status = recvSome(fd_.get(), at, room, deadline, &got);
    if (status != VI_SUCCESS) {
      if (status != VI_ERROR_TMO) fd_.reset();
      return status;
    }
    reply_.commit(got);
  }
  return reply_.tooLarge() ? breakStream() : VI_SUCCESS;
}

ViStatus RpcChannel::awaitReply(const Deadline& deadline, RpcOutcome* outcome,
                                rpc::XdrReader* results) {
  for (;;) {
    if (replyTaken_) {
      reply_.reset();
      replyTaken_ = false;
    }
    const ViStatus status = receiveRecord(deadline);
    if (status != VI_SUCCESS) return status;
    replyTaken_ = true;

    rpc::XdrReader in(reply_.record());
    rpc::ReplyHeader header;
    if (!rpc::getReplyHeader(in, &header)) return breakStream();
    if (header.xid != xid_) {
      // Serial arithmetic: a reply to an earlier, abandoned call is stale.
      if (static_cast<std::int32_t>(header.xid - xid_) < 0) continue;
      return breakStream();
    }
    using rpc::AcceptStat;
    if (!header.accepted) *outcome = RpcOutcome::failed;
    else if (header.status == static_cast<std::uint32_t>(AcceptStat::success)) *outcome = RpcOutcome::success;
    else if (header.status == static_cast<std::uint32_t>(AcceptStat::progUnavail) ||
             header.status == static_cast<std::uint32_t>(AcceptStat::progMismatch))
      *outcome = RpcOutcome::progUnavail;
    else if (header.status == static_cast<std::uint32_t>(AcceptStat::procUnavail))
      *outcome = RpcOutcome::procUnavail;
    else *outcome = RpcOutcome::failed;
    *results = in;
    return VI_SUCCESS;
  }
}

ViStatus RpcChannel::call(const ConstBuffer* bulk, std::size_t bulkCount,
                          const Deadline& deadline, RpcOutcome* outcome,
                          rpc::XdrReader* results) {
  if (!fd_.valid()) return VI_ERROR_CONN_LOST;
  const ViStatus status = send(bulk, bulkCount, deadline);
  if (status != VI_SUCCESS) return status;
  return awaitReply(deadline, outcome, results);
}

}  // namespace benchfw::visa
