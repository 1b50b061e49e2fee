// One ONC RPC conversation over a TCP connection, as the VXI-11 client
// needs it: a call goes out as a single record whose bulk data is sent from
// the caller's memory (sendmsg over head + data + pad), and the reply with
// the matching transaction id comes back.
//
// Transaction ids: each call takes the next xid. A reply with an older xid
// answers a call we gave up on after a local timeout and is skipped; any
// other xid means the stream is out of step, so the connection is closed
// (VI_ERROR_IO now, VI_ERROR_CONN_LOST for every later call). A reply that
// was cut short by a timeout is resumed by the next call, never mistaken
// for a fresh one.
#ifndef BENCHFW_VISA_VXI11_RPC_CHANNEL_H
#define BENCHFW_VISA_VXI11_RPC_CHANNEL_H

#include <cstddef>
#include <cstdint>

#include "rpc/message.h"
#include "rpc/outgoing.h"
#include "rpc/record.h"
#include "rpc/xdr.h"
#include "socket_io.h"
#include "transport.h"

namespace benchfw::visa {

// What came of a call beyond the socket: the reply's RPC-level verdict.
enum class RpcOutcome {
  success,       // results follow
  progUnavail,   // the program (or version) is not served there
  procUnavail,   // the procedure is unknown to the server
  failed,        // denied, garbage args, system error
};

class RpcChannel {
 public:
  RpcChannel(FileDescriptor fd, std::uint32_t program, std::uint32_t version,
             std::size_t maxReply, std::uint32_t firstXid);

  // Starts a call: the returned record already holds the RPC call header;
  // the caller appends the fixed part of the arguments.
  rpc::OutgoingRecord& begin(std::uint32_t procedure);

  // Sends the call begun last, with `bulk` as a trailing opaque's bytes
  // (their length word already in the head), then waits for its reply
  // until `deadline`. On VI_SUCCESS *outcome tells the RPC verdict and, for
  // success, *results is positioned at the results (valid until the next
  // call). Socket statuses: VI_ERROR_TMO, VI_ERROR_CONN_LOST, VI_ERROR_IO.
  ViStatus call(const ConstBuffer* bulk, std::size_t bulkCount, const Deadline& deadline,
                RpcOutcome* outcome, rpc::XdrReader* results);

  bool open() const { return fd_.valid(); }
  void shutDown() { fd_.reset(); }

 private:
  ViStatus send(const ConstBuffer* bulk, std::size_t bulkCount, const Deadline& deadline);
  ViStatus receiveRecord(const Deadline& deadline);
  ViStatus awaitReply(const Deadline& deadline, RpcOutcome* outcome, rpc::XdrReader* results);
  ViStatus breakStream();

  FileDescriptor fd_;
  const std::uint32_t program_;
  const std::uint32_t version_;
  std::uint32_t xid_;
  rpc::OutgoingRecord head_;
  rpc::RecordAssembler reply_;
  bool replyTaken_ = false;  // the complete record in reply_ was answered already
};

}  // namespace benchfw::visa

#endif
