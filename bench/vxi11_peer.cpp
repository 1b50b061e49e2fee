// The VXI-11 discard peer: a portmapper and a core channel on loopback, in
// one thread each, that take device_write chunks without looking at them
// and answer the device_read behind each download's "*OPC?" with "1\n".
// Only what the benchmark's session needs is served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "rpc/message.h"
#include "rpc/record.h"
#include "rpc/vxi11_wire.h"
#include "rpc/xdr.h"
#include "transfer_peers.h"

namespace benchfw::bench {
namespace {

using namespace benchfw::rpc;

bool sendAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

// Reads one RPC record into `record`; false when the peer has gone.
bool readRecord(int fd, RecordAssembler& record) {
  record.reset();
  while (!record.done()) {
    std::size_t room = 0;
    std::uint8_t* at = record.prepare(&room);
    const ssize_t n = ::recv(fd, at, room, 0);
    if (n <= 0) return false;
    record.commit(static_cast<std::size_t>(n));
  }
  return record.complete();
}

// Answers one call; `body` writes the results behind the accepted header.
template <typename F>
bool reply(int fd, std::uint32_t xid, F body) {
  std::uint8_t buffer[256];
  XdrWriter out(buffer, sizeof buffer);
  out.putU32(0);  // record mark, patched below
  putAcceptedReply(out, xid, AcceptStat::success);
  body(out);
  out.patchU32(0, kLastFragment | static_cast<std::uint32_t>(out.size() - 4));
  return sendAll(fd, buffer, out.size());
}

// Serves every connection on `listenFd` in turn until it is shut down.
template <typename F>
void serveConnections(int listenFd, std::size_t maxRecord, F answer) {
  for (;;) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    RecordAssembler record(maxRecord);
    while (readRecord(fd, record)) {
      XdrReader in(record.record());
      CallHeader call;
      if (!getCallHeader(in, &call) || !answer(fd, call, in)) break;
    }
    ::close(fd);
  }
}

}  // namespace

struct Vxi11DiscardPeer::Impl {
  Impl(std::size_t bytes, std::uint32_t maxRecv) : messageBytes(bytes), maxRecvSize(maxRecv) {}
  std::size_t messageBytes;
  std::uint32_t maxRecvSize;
  int portmapperFd = -1, coreFd = -1;
  std::uint16_t portmapperPort = 0, corePort = 0;
  std::thread portmapper, core;

  void servePortmapper() {
    serveConnections(portmapperFd, 1024, [this](int fd, const CallHeader& call, XdrReader&) {
      return reply(fd, call.xid, [&](XdrWriter& out) {
        if (call.procedure == portmap::kProcGetPort) out.putU32(corePort);
      });
    });
  }

  void serveCore() {
    std::size_t seen = 0;  // bytes of the current download
    serveConnections(coreFd, maxRecvSize + 1024, [&](int fd, const CallHeader& call, XdrReader& in) {
      switch (call.procedure) {
        case vxi11::kCreateLink:
          return reply(fd, call.xid, [&](XdrWriter& out) {
            vxi11::putCreateLinkResp(out, {0, 1, 0, maxRecvSize});
          });
        case vxi11::kDeviceWrite: {
          vxi11::WriteParms p;
          if (!vxi11::getWriteParms(in, &p)) return false;
          seen += p.data.size();
          return reply(fd, call.xid, [&](XdrWriter& out) {
            vxi11::putWriteResp(out, {0, static_cast<std::uint32_t>(p.data.size())});
          });
        }
        case vxi11::kDeviceRead: {
          const bool whole = seen >= messageBytes;
          if (whole) seen -= messageBytes;
          static const std::uint8_t one[] = {'1', '\n'};
          return reply(fd, call.xid, [&](XdrWriter& out) {
            out.putI32(whole ? 0 : vxi11::kIoTimeout);
            out.putI32(whole ? vxi11::kReasonEnd : 0);
            out.putOpaque(one, whole ? 2 : 0);
          });
        }
        default:  // destroy_link and anything else: no error
          return reply(fd, call.xid, [](XdrWriter& out) { out.putI32(0); });
      }
    });
  }
};

Vxi11DiscardPeer::Vxi11DiscardPeer(std::size_t messageBytes, std::uint32_t maxRecvSize)
    : impl_(new Impl(messageBytes, maxRecvSize)) {
  impl_->portmapperFd = listenOnLoopback(&impl_->portmapperPort);
  impl_->coreFd = listenOnLoopback(&impl_->corePort);
  impl_->portmapper = std::thread([this] { impl_->servePortmapper(); });
  impl_->core = std::thread([this] { impl_->serveCore(); });
}

Vxi11DiscardPeer::~Vxi11DiscardPeer() {
  ::shutdown(impl_->portmapperFd, SHUT_RDWR);
  ::shutdown(impl_->coreFd, SHUT_RDWR);
  impl_->portmapper.join();
  impl_->core.join();
  ::close(impl_->portmapperFd);
  ::close(impl_->coreFd);
  delete impl_;
}

std::string Vxi11DiscardPeer::resource() const {
  // Our library looks the core port up through this portmapper instead of
  // port 111, which a system portmapper may hold.
  ::setenv("BENCHFW_VXI11_PORTMAPPER_PORT", std::to_string(impl_->portmapperPort).c_str(), 1);
  // A device name of its own, so that two peers are two resources to the
  // library's exclusive locks.
  return "TCPIP0::127.0.0.1::inst" + std::to_string(impl_->corePort) + "::INSTR";
}

}  // namespace benchfw::bench
