// TCPIP INSTR over VXI-11: ONC RPC to the instrument's core channel.
//
// Open: GETPORT at the portmapper, one TCP connection to the core port,
// create_link (with the device lock when the session is opened exclusive).
// Every later operation is one or more RPCs on that link; close sends
// destroy_link. A firmware image is never copied: device_write chunks are
// cut across the caller's buffers and sent with sendmsg behind a small head.
//
// Timeouts: the session's I/O timeout goes to the device as io_timeout, and
// we wait one second longer for the reply, so that the device's own timeout
// error (15) arrives rather than a local one.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "rpc/vxi11_wire.h"
#include "socket_io.h"
#include "transport.h"
#include "vxi11_part_cursor.h"
#include "vxi11_portmap.h"
#include "vxi11_rpc_channel.h"
#include "vxi11_status.h"

namespace benchfw::visa {
namespace {

namespace vxi = rpc::vxi11;

// How much longer than io_timeout we wait for a reply.
constexpr ViUInt32 kReplyMarginMs = 1000;
// How long each network step of an open (portmapper lookup, connect,
// create_link apart from its lock wait) and the destroy_link of a close may
// take. As for raw sockets, the open timeout bounds only the wait for a lock
// (here the device lock); this bound is long enough for a LAN round trip
// and a retransmitted SYN, short enough for a retry loop while an
// instrument restarts.
constexpr ViUInt32 kNetworkStepMs = 3000;
// Largest device_read we ask for, and so (plus headers) the largest reply
// record we accept.
constexpr std::uint32_t kReadChunk = 1u << 20;
constexpr std::size_t kReplyOverhead = 1024;
// Some servers advertise more than they can take in one go; we also keep
// one call's worth bounded so a timeout says something about progress.
constexpr std::uint32_t kMaxWriteChunk = 1u << 20;

// a + b, short of VI_TMO_INFINITE unless a already is.
ViUInt32 addMs(ViUInt32 a, ViUInt32 b) {
  if (a == VI_TMO_INFINITE) return a;
  return a + std::min(b, VI_TMO_INFINITE - 1 - a);
}

Deadline replyDeadline(ViUInt32 ioTimeoutMs) {
  return Deadline::after(addMs(ioTimeoutMs, kReplyMarginMs));
}

class Vxi11Transport final : public Transport {
 public:
  Vxi11Transport(FileDescriptor fd, std::uint32_t firstXid)
      : channel_(std::move(fd), vxi::kCoreProgram, vxi::kCoreVersion,
                 kReadChunk + kReplyOverhead, firstXid) {}

  ViStatus createLink(const std::string& device, bool exclusive, ViUInt32 lockTimeoutMs);

  ViStatus write(const ConstBuffer* parts, std::size_t count, bool end, ViUInt32 timeoutMs,
                 std::size_t* sent) override;
  ViStatus read(unsigned char* data, std::size_t capacity, std::size_t* got, bool* end,
                ViUInt32 timeoutMs) override;
  ViStatus readStb(ViUInt16* stb, ViUInt32 timeoutMs) override;
  ViStatus clear(ViUInt32 timeoutMs) override;
  ViStatus setAttribute(ViAttr attr, ViAttrState value) override;
  ViStatus close() override;

 private:
  // One RPC on the link; VI_SUCCESS leaves *results at the reply's results.
  ViStatus call(const ConstBuffer* bulk, std::size_t bulkCount, ViUInt32 ioTimeoutMs,
                rpc::XdrReader* results);
  ViStatus writeChunk(const std::vector<ConstBuffer>& chunk, std::size_t size, bool end,
                      ViUInt32 ioTimeoutMs, std::size_t* accepted);
  ViStatus genericCall(std::uint32_t procedure, ViUInt32 timeoutMs, rpc::XdrReader* results);

  RpcChannel channel_;
  std::int32_t lid_ = 0;
  bool linked_ = false;
  std::uint32_t maxWrite_ = 1024;
  // With the termination character enabled the device itself stops a read
  // after it (termchrset), as VISA reads stop there.
  bool termCharEnabled_ = false;
  std::uint8_t termChar_ = '\n';
};

ViStatus Vxi11Transport::setAttribute(ViAttr attr, ViAttrState value) {
  switch (attr) {
    case VI_ATTR_TERMCHAR_EN: termCharEnabled_ = value == VI_TRUE; return VI_SUCCESS;
    case VI_ATTR_TERMCHAR: termChar_ = static_cast<std::uint8_t>(value); return VI_SUCCESS;
    default: return VI_ERROR_NSUP_ATTR;
  }
}

ViStatus Vxi11Transport::call(const ConstBuffer* bulk, std::size_t bulkCount,
                              ViUInt32 ioTimeoutMs, rpc::XdrReader* results) {
  RpcOutcome outcome{};
  const ViStatus status =
      channel_.call(bulk, bulkCount, replyDeadline(ioTimeoutMs), &outcome, results);
  if (status != VI_SUCCESS) return status;
  return rpcOutcomeStatus(outcome);
}

ViStatus Vxi11Transport::createLink(const std::string& device, bool exclusive,
                                    ViUInt32 lockTimeoutMs) {
  vxi::CreateLinkParms parms;
  parms.clientId = static_cast<std::int32_t>(::getpid() & 0x7FFFFFFF);
  parms.lockDevice = exclusive;
  parms.lockTimeout = exclusive ? lockTimeoutMs : 0;
  parms.device = device;
  vxi::putCreateLinkParms(channel_.begin(vxi::kCreateLink).xdr(), parms);

  // The server may spend lock_timeout waiting for the lock before it answers.
  RpcOutcome outcome{};
  rpc::XdrReader results(nullptr, 0);
  const ViStatus status = channel_.call(
      nullptr, 0, Deadline::after(addMs(parms.lockTimeout, kNetworkStepMs)), &outcome, &results);
  if (status != VI_SUCCESS) return status == VI_ERROR_IO ? VI_ERROR_IO : VI_ERROR_RSRC_NFOUND;
  if (outcome == RpcOutcome::progUnavail) return VI_ERROR_RSRC_NFOUND;
  if (outcome != RpcOutcome::success) return rpcOutcomeStatus(outcome);

  vxi::CreateLinkResp resp;
  if (!vxi::getCreateLinkResp(results, &resp)) return VI_ERROR_IO;
  if (resp.error != vxi::kNoError) return vxi11CreateLinkStatus(resp.error);
  lid_ = resp.lid;
  linked_ = true;
  // A server that claims to take nothing gets the smallest size every
  // VXI-11 server must accept.
  maxWrite_ = resp.maxRecvSize == 0 ? 1024 : std::min(resp.maxRecvSize, kMaxWriteChunk);
  return VI_SUCCESS;
}

ViStatus Vxi11Transport::writeChunk(const std::vector<ConstBuffer>& chunk, std::size_t size,
                                    bool end, ViUInt32 ioTimeoutMs, std::size_t* accepted) {
  vxi::WriteParms parms;
  parms.lid = lid_;
  parms.ioTimeout = ioTimeoutMs;
  parms.flags = end ? vxi::kFlagEnd : 0;
  vxi::putWriteParmsHead(channel_.begin(vxi::kDeviceWrite).xdr(), parms,
                         static_cast<std::uint32_t>(size));
  rpc::XdrReader results(nullptr, 0);
  *accepted = 0;
  const ViStatus status = call(chunk.data(), chunk.size(), ioTimeoutMs, &results);
  if (status != VI_SUCCESS) return status;
  vxi::WriteResp resp;
  if (!vxi::getWriteResp(results, &resp)) return VI_ERROR_IO;
  *accepted = std::min<std::size_t>(resp.size, size);
  return vxi11ErrorStatus(resp.error);
}

ViStatus Vxi11Transport::write(const ConstBuffer* parts, std::size_t count, bool end,
                               ViUInt32 timeoutMs, std::size_t* sent) {
  *sent = 0;
  const Deadline deadline = Deadline::after(timeoutMs);
  PartCursor cursor(parts, count);
  // Nothing to send and no END to carry: no call at all. An empty write
  // with END still goes out, because it ends the message.
  if (cursor.atEnd() && !end) return VI_SUCCESS;
  std::vector<ConstBuffer> chunk;
  do {
    const std::size_t size = cursor.take(maxWrite_, &chunk);
    PartCursor rest = cursor;
    rest.advance(size);
    std::size_t accepted = 0;
    const ViStatus status =
        writeChunk(chunk, size, end && rest.atEnd(), deadline.remainingMs(), &accepted);
    *sent += accepted;
    cursor.advance(accepted);
    if (status != VI_SUCCESS) return status;
    // A device that took part of a chunk without an error gets the rest in
    // the next call; one that takes nothing at all is not making progress.
    if (accepted == 0 && size != 0) return VI_ERROR_IO;
    if (!cursor.atEnd() && deadline.passed()) return VI_ERROR_TMO;
  } while (!cursor.atEnd());
  return VI_SUCCESS;
}

ViStatus Vxi11Transport::read(unsigned char* data, std::size_t capacity, std::size_t* got,
                              bool* end, ViUInt32 timeoutMs) {
  *got = 0;
  *end = false;
  const Deadline deadline = Deadline::after(timeoutMs);
  while (*got < capacity) {
    vxi::ReadParms parms;
    parms.lid = lid_;
    parms.requestSize = static_cast<std::uint32_t>(std::min<std::size_t>(capacity - *got, kReadChunk));
    parms.ioTimeout = deadline.remainingMs();
    parms.flags = termCharEnabled_ ? vxi::kFlagTermCharSet : 0;
    parms.termChar = termChar_;
    vxi::putReadParms(channel_.begin(vxi::kDeviceRead).xdr(), parms);
    rpc::XdrReader results(nullptr, 0);
    const ViStatus status = call(nullptr, 0, parms.ioTimeout, &results);
    if (status != VI_SUCCESS) return status;
    vxi::ReadResp resp;
    if (!vxi::getReadResp(results, &resp) || resp.data.size() > capacity - *got) {
      channel_.shutDown();
      return VI_ERROR_IO;
    }
    if (!resp.data.empty()) std::memcpy(data + *got, resp.data.data(), resp.data.size());
    *got += resp.data.size();
    if (resp.error != vxi::kNoError) return vxi11ErrorStatus(resp.error);
    // The termination character ends the read like END does (the session
    // tells the two apart by the last byte); one we never asked for only
    // hands back what we have.
    if ((resp.reason & vxi::kReasonEnd) ||
        (termCharEnabled_ && (resp.reason & vxi::kReasonTermChar))) {
      *end = true;
      return VI_SUCCESS;
    }
    if (resp.reason & vxi::kReasonTermChar) return VI_SUCCESS;
    if (deadline.passed() && *got < capacity) return VI_ERROR_TMO;
  }
  return VI_SUCCESS;
}

ViStatus Vxi11Transport::genericCall(std::uint32_t procedure, ViUInt32 timeoutMs,
                                     rpc::XdrReader* results) {
  vxi::GenericParms parms;
  parms.lid = lid_;
  parms.ioTimeout = timeoutMs;
  vxi::putGenericParms(channel_.begin(procedure).xdr(), parms);
  return call(nullptr, 0, timeoutMs, results);
}

ViStatus Vxi11Transport::readStb(ViUInt16* stb, ViUInt32 timeoutMs) {
  rpc::XdrReader results(nullptr, 0);
  const ViStatus status = genericCall(vxi::kDeviceReadStb, timeoutMs, &results);
  if (status != VI_SUCCESS) return status;
  vxi::ReadStbResp resp;
  if (!vxi::getReadStbResp(results, &resp)) return VI_ERROR_IO;
  if (resp.error != vxi::kNoError) return vxi11ErrorStatus(resp.error);
  *stb = resp.stb;
  return VI_SUCCESS;
}

ViStatus Vxi11Transport::clear(ViUInt32 timeoutMs) {
  rpc::XdrReader results(nullptr, 0);
  const ViStatus status = genericCall(vxi::kDeviceClear, timeoutMs, &results);
  if (status != VI_SUCCESS) return status;
  std::int32_t error = 0;
  if (!results.getI32(&error)) return VI_ERROR_IO;
  return vxi11ErrorStatus(error);
}

ViStatus Vxi11Transport::close() {
  if (!linked_) return VI_SUCCESS;
  linked_ = false;
  channel_.begin(vxi::kDestroyLink).xdr().putI32(lid_);
  rpc::XdrReader results(nullptr, 0);
  std::int32_t error = 0;
  const ViStatus status = call(nullptr, 0, kNetworkStepMs, &results);
  const bool ok = status == VI_SUCCESS && results.getI32(&error) && error == vxi::kNoError;
  channel_.shutDown();
  return ok ? VI_SUCCESS : VI_ERROR_CLOSING_FAILED;
}

}  // namespace

ViStatus openVxi11Transport(const ResourceName& name, bool exclusive, ViUInt32 openTimeoutMs,
                            std::unique_ptr<Transport>* out) {
  std::uint16_t corePort = 0;
  ViStatus status = lookupCorePort(name.host, Deadline::after(kNetworkStepMs), &corePort);
  if (status != VI_SUCCESS) return status;
  FileDescriptor fd;
  if (connectWithTimeout(name.host, corePort, kNetworkStepMs, &fd) != VI_SUCCESS)
    return VI_ERROR_RSRC_NFOUND;
  // Distinct xids per connection make a reply meant for another client
  // stand out; the process id is as good a seed as any.
  return linkVxi11Transport(std::move(fd), static_cast<std::uint32_t>(::getpid()) << 16,
                            name.device.empty() ? "inst0" : name.device, exclusive,
                            openTimeoutMs, out);
}

ViStatus linkVxi11Transport(FileDescriptor coreChannel, std::uint32_t firstXid,
                            const std::string& device, bool exclusive, ViUInt32 openTimeoutMs,
                            std::unique_ptr<Transport>* out) {
  auto transport = std::make_unique<Vxi11Transport>(std::move(coreChannel), firstXid);
  const ViStatus status = transport->createLink(device, exclusive, openTimeoutMs);
  if (status != VI_SUCCESS) return status;
  *out = std::move(transport);
  return VI_SUCCESS;
}

}  // namespace benchfw::visa
