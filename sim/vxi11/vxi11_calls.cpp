#include "sim/vxi11/vxi11_calls.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <strings.h>

#include "rpc/message.h"
#include "sim/dialogue_log.h"

namespace benchfw::sim {
namespace {

namespace vxi = rpc::vxi11;
namespace pm = rpc::portmap;
using std::chrono::milliseconds;

// The most one device_read hands back; the client calls again for more.
constexpr std::uint32_t kMaxReadChunk = 1u << 20;
// Long waits (a client's io_timeout or lock_timeout may be minutes) look at
// the connection's fate this often.
constexpr milliseconds kWaitSlice{10};
// Message available: a ready response waits in the session's output queue.
constexpr std::uint8_t kMav = 0x10;

void accept(Vxi11Reply* reply, std::uint32_t xid) {
  rpc::putAcceptedReply(reply->head.xdr(), xid, rpc::AcceptStat::success);
}

}  // namespace

Vxi11Calls::Vxi11Calls(Vxi11Shared& shared, std::string connectionName,
                       const std::atomic<bool>& abandon)
    : shared_(shared), instrument_(shared.instrument), name_(std::move(connectionName)),
      abandon_(abandon) {}

Vxi11Calls::~Vxi11Calls() {
  for (auto& [lid, link] : links_) releaseLink(*link);
}

void Vxi11Calls::releaseLink(Link& link) { instrument_.unlock(&link); }

void Vxi11Calls::logLine(std::int32_t lid, const std::string& text) {
  instrument_.log().line(name_ + "/lid" + std::to_string(lid), text);
}

Vxi11Calls::Link* Vxi11Calls::find(std::int32_t lid) {
  const auto it = links_.find(lid);
  return it == links_.end() ? nullptr : it->second.get();
}

void Vxi11Calls::handle(std::span<const std::uint8_t> record, Vxi11Reply* reply) {
  rpc::XdrReader in(record);
  rpc::CallHeader call;
  if (!rpc::getCallHeader(in, &call)) {
    // Not an RPC call at all: the stream is out of step.
    reply->send = false;
    reply->dropAfter = true;
    return;
  }
  if (call.rpcVersion != rpc::kRpcVersion) {
    rpc::putRpcVersionMismatch(reply->head.xdr(), call.xid);
    return;
  }
  if (call.program == pm::kProgram) return portmap(call, in, reply);
  if (call.program == vxi::kCoreProgram) return core(call, in, reply);
  rpc::putAcceptedReply(reply->head.xdr(), call.xid, rpc::AcceptStat::progUnavail);
}

void Vxi11Calls::portmap(const rpc::CallHeader& call, rpc::XdrReader& in, Vxi11Reply* reply) {
  rpc::XdrWriter& out = reply->head.xdr();
  if (call.version != pm::kVersion)
    return rpc::putAcceptedReply(out, call.xid, rpc::AcceptStat::progMismatch, pm::kVersion,
                                 pm::kVersion);
  if (call.procedure == pm::kProcNull) return accept(reply, call.xid);
  if (call.procedure != pm::kProcGetPort)
    return rpc::putAcceptedReply(out, call.xid, rpc::AcceptStat::procUnavail);
  pm::Mapping m;
  if (!pm::getMapping(in, &m))
    return rpc::putAcceptedReply(out, call.xid, rpc::AcceptStat::garbageArgs);
  const bool ours = m.program == vxi::kCoreProgram && m.version == vxi::kCoreVersion &&
                    m.protocol == pm::kProtTcp;
  accept(reply, call.xid);
  out.putU32(ours ? shared_.corePort.load() : 0);
}

void Vxi11Calls::core(const rpc::CallHeader& call, rpc::XdrReader& in, Vxi11Reply* reply) {
  rpc::XdrWriter& out = reply->head.xdr();
  if (call.version != vxi::kCoreVersion)
    return rpc::putAcceptedReply(out, call.xid, rpc::AcceptStat::progMismatch,
                                 vxi::kCoreVersion, vxi::kCoreVersion);
  // The results are written behind an accepted header; a call whose
  // arguments do not decode gets its reply rewritten as GARBAGE_ARGS.
  accept(reply, call.xid);
  bool decoded = true;
  switch (call.procedure) {
    case 0: break;  // NULL
    case vxi::kCreateLink: decoded = createLink(in, out); break;
    case vxi::kDeviceWrite: decoded = deviceWrite(in, reply); break;
    case vxi::kDeviceRead: decoded = deviceRead(in, reply); break;
    case vxi::kDeviceReadStb:
    case vxi::kDeviceTrigger:
    case vxi::kDeviceClear:
    case vxi::kDeviceRemote:
    case vxi::kDeviceLocal: decoded = generic(call.procedure, in, reply); break;
    case vxi::kDeviceLock: decoded = deviceLock(in, out); break;
    case vxi::kDeviceUnlock:
    case vxi::kDestroyLink: decoded = linkOnly(call.procedure, in, out); break;
    // Service requests, interrupt channels and gateway commands are not
    // part of this instrument.
    case vxi::kDeviceEnableSrq:
    case vxi::kCreateIntrChan:
    case vxi::kDestroyIntrChan: out.putI32(vxi::kOperationNotSupported); break;
    case vxi::kDeviceDocmd:
      out.putI32(vxi::kOperationNotSupported);
      out.putU32(0);  // empty data_out
      break;
    default:
      reply->head.clear();
      rpc::putAcceptedReply(reply->head.xdr(), call.xid, rpc::AcceptStat::procUnavail);
      return;
  }
  if (!decoded) {
    reply->head.clear();
    reply->bulk = {};
    reply->send = true;
    reply->dropAfter = false;
    rpc::putAcceptedReply(reply->head.xdr(), call.xid, rpc::AcceptStat::garbageArgs);
  }
}

bool Vxi11Calls::createLink(rpc::XdrReader& in, rpc::XdrWriter& out) {
  vxi::CreateLinkParms parms;
  if (!vxi::getCreateLinkParms(in, &parms)) return false;
  vxi::CreateLinkResp resp;
  resp.maxRecvSize = shared_.maxRecvSize;
  // One instrument behind this server: "inst0".
  if (strcasecmp(parms.device.c_str(), "inst0") != 0 || !instrument_.isUp()) {
    // The name is the client's bytes: quoted, so it cannot forge a log line.
    logLine(0, "create_link refused: device=" + DialogueLog::quote(parms.device) +
                   (instrument_.isUp() ? " unknown" : " (instrument down)"));
    resp.error = vxi::kDeviceNotAccessible;
    vxi::putCreateLinkResp(out, resp);
    return true;
  }
  auto link = std::make_unique<Link>();
  link->lid = shared_.nextLid.fetch_add(1);
  link->generation = instrument_.generation();
  if (parms.lockDevice && !takeLock(*link, parms.lockTimeout, true)) {
    logLine(link->lid, "create_link refused: device locked by another link");
    resp.error = vxi::kDeviceLocked;
    vxi::putCreateLinkResp(out, resp);
    return true;
  }
  link->session = std::make_unique<Session>(instrument_, name_ + "/lid" + std::to_string(link->lid),
                                            ResponseMode::polled);
  resp.lid = link->lid;
  logLine(link->lid, "create_link device=" + DialogueLog::quote(parms.device) +
                         (parms.lockDevice ? " locked" : ""));
  links_.emplace(link->lid, std::move(link));
  vxi::putCreateLinkResp(out, resp);
  return true;
}

std::int32_t Vxi11Calls::lockCheck(Link& link, std::int32_t flags, std::uint32_t lockTimeoutMs) {
  if (!instrument_.lockedByOther(&link)) return vxi::kNoError;
  if (!(flags & vxi::kFlagWaitLock)) return vxi::kDeviceLocked;
  return takeLock(link, lockTimeoutMs, false) ? vxi::kNoError : vxi::kDeviceLocked;
}

bool Vxi11Calls::takeLock(Link& link, std::uint32_t waitMs, bool keep) {
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(waitMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (instrument_.lock(&link, std::clamp(left, milliseconds(0), kWaitSlice))) {
      if (!keep) instrument_.unlock(&link);
      return true;
    }
    if (left <= kWaitSlice || abandon_) return false;
  }
}

bool Vxi11Calls::awaitResponse(Link& link, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (abandon_ || !link.session->alive()) return false;
    const auto now = std::chrono::steady_clock::now();
    if ((link.session->statusByte() & kMav) || now >= deadline) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now, kWaitSlice));
  }
}

bool Vxi11Calls::deviceWrite(rpc::XdrReader& in, Vxi11Reply* reply) {
  vxi::WriteParms parms;
  if (!vxi::getWriteParms(in, &parms)) return false;
  vxi::WriteResp resp;
  Link* link = find(parms.lid);
  const bool end = (parms.flags & vxi::kFlagEnd) != 0;
  if (!link) resp.error = vxi::kInvalidLinkId;
  else if (parms.data.size() > shared_.maxRecvSize) resp.error = vxi::kParameterError;
  else resp.error = lockCheck(*link, parms.flags, parms.lockTimeout);
  if (resp.error != vxi::kNoError) {
    vxi::putWriteResp(reply->head.xdr(), resp);
    return true;
  }
  // One parseable line per call: the e2e tests rebuild each message's
  // chunking and END placement from these.
  std::string text = "device_write len=" + std::to_string(parms.data.size()) +
                     " end=" + (end ? "1" : "0");
  if (!parms.data.empty())
    text += " last=" + DialogueLog::quote(std::string_view(
                           reinterpret_cast<const char*>(&parms.data.back()), 1));
  logLine(link->lid, text);

  if (!link->session->deliver(parms.data.data(), parms.data.size(), end)) {
    if (instrument_.generation() == link->generation) {
      // A fault cut the connection mid-message: vanish without an answer.
      reply->send = false;
      reply->dropAfter = true;
      return true;
    }
    // A restart: the device took the command, then leaves the network.
    reply->dropAfter = true;
  }
  resp.size = static_cast<std::uint32_t>(parms.data.size());
  vxi::putWriteResp(reply->head.xdr(), resp);
  return true;
}

std::int32_t Vxi11Calls::readResponse(Link& link, const vxi::ReadParms& parms, std::size_t* got,
                                      std::int32_t* reason, bool* dead) {
  const std::size_t want = std::min(parms.requestSize, kMaxReadChunk);
  if (buffer_.size() < want) buffer_.resize(want);
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(parms.ioTimeout);
  const bool termChar = (parms.flags & vxi::kFlagTermCharSet) != 0;
  *got = 0;
  *reason = 0;
  while (*got < want) {
    // Waiting here rather than inside the session keeps a long io_timeout
    // from holding up a restart or a stop.
    if (!awaitResponse(link, deadline)) {
      *dead = true;
      return vxi::kIoError;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    // With a termination character we must not read past it: byte by byte.
    const std::size_t ask = termChar ? 1 : want - *got;
    const Session::ReadResult r =
        link.session->readResponse(buffer_.data() + *got, ask, std::max(left, milliseconds(0)));
    if (r.status == Session::ReadResult::Status::dead) {
      *dead = true;
      return vxi::kIoError;
    }
    if (r.status == Session::ReadResult::Status::timeout)
      return vxi::kIoTimeout;
    *got += r.size;
    if (r.end) *reason |= vxi::kReasonEnd;
    if (termChar && r.size && buffer_[*got - 1] == parms.termChar) *reason |= vxi::kReasonTermChar;
    if (*reason) break;
    if (!termChar) break;  // a partial response: the client asks again
  }
  if (*got == parms.requestSize) *reason |= vxi::kReasonRequestCount;
  return vxi::kNoError;
}

bool Vxi11Calls::deviceRead(rpc::XdrReader& in, Vxi11Reply* reply) {
  vxi::ReadParms parms;
  if (!vxi::getReadParms(in, &parms)) return false;
  vxi::ReadResp resp;
  std::size_t got = 0;
  Link* link = find(parms.lid);
  if (!link) resp.error = vxi::kInvalidLinkId;
  else resp.error = lockCheck(*link, parms.flags, parms.lockTimeout);
  if (resp.error == vxi::kNoError) {
    bool dead = false;
    resp.error = readResponse(*link, parms, &got, &resp.reason, &dead);
    if (dead) {
      reply->send = false;
      reply->dropAfter = true;
      return true;
    }
  }
  vxi::putReadRespHead(reply->head.xdr(), resp, static_cast<std::uint32_t>(got));
  reply->bulk = {buffer_.data(), got};
  return true;
}

bool Vxi11Calls::generic(std::uint32_t procedure, rpc::XdrReader& in, Vxi11Reply* reply) {
  vxi::GenericParms parms;
  if (!vxi::getGenericParms(in, &parms)) return false;
  Link* link = find(parms.lid);
  std::int32_t error = link ? lockCheck(*link, parms.flags, parms.lockTimeout) : vxi::kInvalidLinkId;
  std::uint8_t stb = 0;
  if (error == vxi::kNoError) {
    switch (procedure) {
      case vxi::kDeviceReadStb: stb = link->session->statusByte(); break;
      case vxi::kDeviceClear:
        logLine(link->lid, "device_clear");
        link->session->deviceClear();
        break;
      case vxi::kDeviceTrigger: error = vxi::kOperationNotSupported; break;
      default: break;  // remote/local: nothing to switch on this instrument
    }
  }
  rpc::XdrWriter& out = reply->head.xdr();
  if (procedure == vxi::kDeviceReadStb) vxi::putReadStbResp(out, {error, stb});
  else out.putI32(error);
  return true;
}

bool Vxi11Calls::deviceLock(rpc::XdrReader& in, rpc::XdrWriter& out) {
  vxi::LockParms parms;
  if (!vxi::getLockParms(in, &parms)) return false;
  Link* link = find(parms.lid);
  std::int32_t error = vxi::kInvalidLinkId;
  if (link) {
    const std::uint32_t wait = (parms.flags & vxi::kFlagWaitLock) ? parms.lockTimeout : 0;
    error = takeLock(*link, wait, true) ? vxi::kNoError : vxi::kDeviceLocked;
  }
  out.putI32(error);
  return true;
}

bool Vxi11Calls::linkOnly(std::uint32_t procedure, rpc::XdrReader& in, rpc::XdrWriter& out) {
  std::int32_t lid = 0;
  if (!in.getI32(&lid)) return false;
  Link* link = find(lid);
  std::int32_t error = vxi::kInvalidLinkId;
  if (link && procedure == vxi::kDeviceUnlock) {
    error = instrument_.unlock(link) ? vxi::kNoError : vxi::kNoLockHeld;
  } else if (link) {
    logLine(lid, "destroy_link");
    releaseLink(*link);
    links_.erase(lid);
    error = vxi::kNoError;
  }
  out.putI32(error);
  return true;
}

}  // namespace benchfw::sim
