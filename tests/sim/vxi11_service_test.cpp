// The simulator's VXI-11 service from the wire: the portmapper over TCP and
// UDP, the core channel's calls and their error codes, the device lock
// between connections, and a restart that drops links and refuses while
// the instrument is down. Plain RPC over loopback, ephemeral ports.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "rpc/message.h"
#include "rpc/outgoing.h"
#include "rpc/record.h"
#include "rpc/vxi11_wire.h"
#include "sim/instrument.h"
#include "sim/vxi11/vxi11_server.h"

namespace benchfw::sim {
namespace {

using namespace std::chrono_literals;
namespace vxi = rpc::vxi11;
namespace pm = rpc::portmap;
using Bytes = std::vector<std::uint8_t>;

struct Reply {
  rpc::ReplyHeader header;
  Bytes results;
  // The i-th result word; a marker value when the results are shorter.
  std::int32_t word(std::size_t i) const {
    if (results.size() < 4 * (i + 1)) return -999;
    return static_cast<std::int32_t>(rpc::loadBe32(results.data() + 4 * i));
  }
};

// Arguments of a call, as XDR.
class Args {
 public:
  Args& u32(std::uint32_t v) { w_.putU32(v); return *this; }
  Args& str(const std::string& s) { w_.putString(s); return *this; }
  Bytes bytes() const { return Bytes(buf_, buf_ + w_.size()); }

 private:
  std::uint8_t buf_[8192];
  rpc::XdrWriter w_{buf_, sizeof buf_};
};

// A blocking RPC client with bounded receives; nullopt when the connection
// closes or nothing comes.
class RpcClient {
 public:
  RpcClient() = default;
  RpcClient(RpcClient&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), udp_(other.udp_), xid_(other.xid_) {}
  RpcClient& operator=(RpcClient&&) = delete;
  ~RpcClient() { disconnect(); }
  void disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool connectTo(std::uint16_t port, int type = SOCK_STREAM) {
    disconnect();
    fd_ = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    timeval bound{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    udp_ = type == SOCK_DGRAM;
    return connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  // Waits, with a bound, for a refused port to listen again.
  bool connectWithin(std::uint16_t port, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!connectTo(port)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  std::optional<Reply> call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                            const Bytes& args = {}) {
    rpc::OutgoingRecord rec;
    rpc::putCallHeader(rec.xdr(), {++xid_, rpc::kRpcVersion, prog, vers, proc});
    if (!rec.seal(args.size())) return std::nullopt;
    Bytes out(rec.head().begin() + (udp_ ? 4 : 0), rec.head().end());
    out.insert(out.end(), args.begin(), args.end());
    if (::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
      return std::nullopt;
    Bytes record;
    if (udp_) {
      record.resize(65536);
      const ssize_t n = recv(fd_, record.data(), record.size(), 0);
      if (n <= 0) return std::nullopt;
      record.resize(static_cast<std::size_t>(n));
    } else {
      rpc::RecordAssembler in(1 << 22);
      while (!in.done()) {
        std::size_t room = 0;
        std::uint8_t* at = in.prepare(&room);
        const ssize_t n = recv(fd_, at, room, 0);
        if (n <= 0) return std::nullopt;
        in.commit(static_cast<std::size_t>(n));
      }
      record.assign(in.record().begin(), in.record().end());
    }
    rpc::XdrReader r(record.data(), record.size());
    Reply reply;
    if (!rpc::getReplyHeader(r, &reply.header) || reply.header.xid != xid_) return std::nullopt;
    reply.results.assign(record.end() - static_cast<std::ptrdiff_t>(r.remaining()), record.end());
    return reply;
  }
  std::optional<Reply> core(std::uint32_t proc, const Bytes& args) {
    return call(vxi::kCoreProgram, vxi::kCoreVersion, proc, args);
  }
  // create_link; returns {error, lid}.
  std::pair<std::int32_t, std::int32_t> link(const std::string& device = "inst0",
                                             bool lock = false, std::uint32_t lockMs = 0) {
    const auto r = core(vxi::kCreateLink, Args().u32(1).u32(lock).u32(lockMs).str(device).bytes());
    if (!r) return {-1, -1};
    return {r->word(0), r->word(1)};
  }
  std::int32_t write(std::int32_t lid, const std::string& data, std::int32_t flags = vxi::kFlagEnd,
                     std::uint32_t lockMs = 0) {
    const auto r = core(vxi::kDeviceWrite, Args().u32(lid).u32(1000).u32(lockMs).u32(flags).str(data).bytes());
    return r ? r->word(0) : -1;
  }

 private:
  int fd_ = -1;
  bool udp_ = false;
  std::uint32_t xid_ = 100;
};

class Vxi11Service : public ::testing::Test {
 protected:
  void startService(std::chrono::milliseconds restartTime = 3000ms) {
    config_.restartTime = restartTime;
    instrument_.emplace(config_, log_);
    Vxi11Options options;
    options.portmapperPort = 0;
    options.maxRecvSize = 2048;
    server_.emplace(*instrument_, options);
    std::string error;
    ASSERT_TRUE(server_->bind("127.0.0.1", &error)) << error;
    instrument_->addListener(&*server_);
    server_->start();
    instrument_->start();
    ASSERT_TRUE(instrument_->waitUntilUp(5s));
  }
  void TearDown() override {
    if (!instrument_) return;
    instrument_->stop();
    instrument_->removeListener(&*server_);
    server_->stop();
  }
  RpcClient connected() {
    RpcClient c;
    EXPECT_TRUE(c.connectWithin(server_->corePort(), 5s));
    return c;
  }

  DialogueLog log_;
  InstrumentConfig config_;
  std::optional<Instrument> instrument_;
  std::optional<Vxi11Server> server_;
};

TEST_F(Vxi11Service, PortmapperAnswersOverTcpAndUdp) {
  startService();
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    SCOPED_TRACE(type == SOCK_STREAM ? "tcp" : "udp");
    RpcClient pmap;
    ASSERT_TRUE(type == SOCK_DGRAM ? pmap.connectTo(server_->portmapperPort(), type)
                                   : pmap.connectWithin(server_->portmapperPort(), 5s));
    auto getport = [&](std::uint32_t prog, std::uint32_t vers, std::uint32_t prot) {
      const auto r = pmap.call(pm::kProgram, pm::kVersion, pm::kProcGetPort,
                               Args().u32(prog).u32(vers).u32(prot).u32(0).bytes());
      return r && r->header.succeeded() ? r->word(0) : -1;
    };
    EXPECT_EQ(getport(vxi::kCoreProgram, 1, pm::kProtTcp), server_->corePort());
    EXPECT_EQ(getport(vxi::kCoreProgram, 1, pm::kProtUdp), 0);
    EXPECT_EQ(getport(vxi::kCoreProgram + 1, 1, pm::kProtTcp), 0);
    EXPECT_TRUE(pmap.call(pm::kProgram, pm::kVersion, pm::kProcNull)->header.succeeded());
  }
}

struct RejectCase {
  const char* name;
  std::uint32_t program, version, procedure;
  Bytes args;
  rpc::AcceptStat expected;
  friend void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }
};

class Rejections : public Vxi11Service, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(Rejections, AnswerAtTheRpcLevelAndKeepTheConnection) {
  startService();
  RpcClient c = connected();
  const auto& p = GetParam();
  const auto r = c.call(p.program, p.version, p.procedure, p.args);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->header.accepted);
  EXPECT_EQ(r->header.status, static_cast<std::uint32_t>(p.expected));
  if (p.expected == rpc::AcceptStat::progMismatch) {
    EXPECT_EQ(r->header.low, p.program == pm::kProgram ? 2u : 1u);
    EXPECT_EQ(r->header.high, r->header.low);
  }
  EXPECT_EQ(c.link().first, 0) << "the connection still serves";
}

INSTANTIATE_TEST_SUITE_P(
    Vxi11, Rejections,
    ::testing::Values(
        RejectCase{"UnknownProgram", 0x0607B0, 1, 1, {}, rpc::AcceptStat::progUnavail},
        RejectCase{"CoreVersion2", vxi::kCoreProgram, 2, 10, {}, rpc::AcceptStat::progMismatch},
        RejectCase{"PortmapVersion3", pm::kProgram, 3, 3, {}, rpc::AcceptStat::progMismatch},
        RejectCase{"NoProcedure21", vxi::kCoreProgram, 1, 21, {}, rpc::AcceptStat::procUnavail},
        RejectCase{"PortmapDump", pm::kProgram, 2, 4, {}, rpc::AcceptStat::procUnavail},
        RejectCase{"TruncatedCreateLink", vxi::kCoreProgram, 1, 10, Args().u32(1).bytes(),
                   rpc::AcceptStat::garbageArgs},
        RejectCase{"HugeDeviceName", vxi::kCoreProgram, 1, 10,
                   Args().u32(1).u32(0).u32(0).str(std::string(300, 'x')).bytes(),
                   rpc::AcceptStat::garbageArgs}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// The device's own errors, each from a call that makes it.
TEST_F(Vxi11Service, CoreCallsAnswerWithDeviceErrors) {
  startService();
  RpcClient c = connected();
  EXPECT_EQ(c.link("inst1").first, vxi::kDeviceNotAccessible);
  const auto [error, lid] = c.link();
  ASSERT_EQ(error, 0);
  const auto created = c.core(vxi::kCreateLink, Args().u32(1).u32(0).u32(0).str("INST0").bytes());
  EXPECT_EQ(created->word(3), 2048) << "maxRecvSize as configured";

  EXPECT_EQ(c.write(lid + 1000, "*CLS\n"), vxi::kInvalidLinkId);
  EXPECT_EQ(c.write(lid, std::string(2049, 'x')), vxi::kParameterError);
  EXPECT_EQ(c.core(vxi::kDeviceUnlock, Args().u32(lid).bytes())->word(0), vxi::kNoLockHeld);
  EXPECT_EQ(c.core(vxi::kDeviceTrigger, Args().u32(lid).u32(0).u32(0).u32(100).bytes())->word(0),
            vxi::kOperationNotSupported);
  // Nothing asked: the read waits io_timeout, then 15 (and -420 is queued).
  const auto read = c.core(vxi::kDeviceRead, Args().u32(lid).u32(100).u32(50).u32(0).u32(0).u32(0).bytes());
  EXPECT_EQ(read->word(0), vxi::kIoTimeout);
  EXPECT_EQ(instrument_->errorQueue().back().code, -420);
  EXPECT_EQ(c.core(vxi::kDestroyLink, Args().u32(lid).bytes())->word(0), 0);
  EXPECT_EQ(c.core(vxi::kDestroyLink, Args().u32(lid).bytes())->word(0), vxi::kInvalidLinkId);
}

// A message in chunks: only the chunk with END ends it. The response comes
// back in pieces of requestSize, END on the last; with termchrset a read
// stops at the termination character.
TEST_F(Vxi11Service, MessagesSpanWritesAndResponsesSpanReads) {
  startService();
  RpcClient c = connected();
  const auto lid = c.link().second;
  ASSERT_EQ(c.write(lid, "*ID", 0), 0);
  ASSERT_EQ(c.write(lid, "N?", vxi::kFlagEnd), 0) << "END alone ends the message";
  std::string response;
  std::int32_t reason = 0;
  while (!(reason & vxi::kReasonEnd)) {
    const auto r = c.core(vxi::kDeviceRead, Args().u32(lid).u32(10).u32(1000).u32(0).u32(0).u32(0).bytes());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->word(0), 0);
    reason = r->word(1);
    const auto n = static_cast<std::size_t>(r->word(2));
    ASSERT_LE(n, 10u);
    response.append(r->results.begin() + 12, r->results.begin() + 12 + static_cast<std::ptrdiff_t>(n));
    if (!(reason & vxi::kReasonEnd)) {
      EXPECT_EQ(reason, vxi::kReasonRequestCount);
    }
  }
  EXPECT_EQ(response, "BENCHLAB,BL-7000,SN000123,MAIN 2.5.0\n");

  ASSERT_EQ(c.write(lid, "*IDN?\n"), 0);
  const auto r = c.core(vxi::kDeviceRead,
                        Args().u32(lid).u32(100).u32(1000).u32(0).u32(vxi::kFlagTermCharSet).u32(',').bytes());
  EXPECT_EQ(r->word(1), vxi::kReasonTermChar);
  EXPECT_EQ(std::string(r->results.begin() + 12, r->results.begin() + 12 + r->word(2)), "BENCHLAB,");
  EXPECT_EQ(c.core(vxi::kDeviceClear, Args().u32(lid).u32(0).u32(0).u32(100).bytes())->word(0), 0);
  const auto stb = c.core(vxi::kDeviceReadStb, Args().u32(lid).u32(0).u32(0).u32(100).bytes());
  EXPECT_EQ(stb->word(1) & 0x10, 0) << "device clear discarded the rest of the response";
}

// The device lock is the instrument's, whichever connection asks.
TEST_F(Vxi11Service, LockHoldsAcrossConnectionsUntilItsLinkGoes) {
  startService();
  RpcClient a = connected();
  RpcClient b = connected();
  const auto [lockError, lidA] = a.link("inst0", true, 0);
  ASSERT_EQ(lockError, 0);
  EXPECT_EQ(b.link("inst0", true, 100).first, vxi::kDeviceLocked) << "after waiting lock_timeout";
  const auto [error, lidB] = b.link();
  ASSERT_EQ(error, 0) << "a link without the lock is fine";
  EXPECT_EQ(b.write(lidB, "*CLS\n"), vxi::kDeviceLocked);
  EXPECT_EQ(b.core(vxi::kDeviceReadStb, Args().u32(lidB).u32(0).u32(0).u32(100).bytes())->word(0),
            vxi::kDeviceLocked);
  EXPECT_EQ(a.write(lidA, "*CLS\n"), 0);

  // B waits for the lock; A's connection closing frees A's link and lock.
  auto waiting = std::async(std::launch::async, [&b, lid = lidB] {
    return b.write(lid, "*CLS\n", vxi::kFlagEnd | vxi::kFlagWaitLock, 10000);
  });
  a.disconnect();
  EXPECT_EQ(waiting.get(), 0);
  EXPECT_EQ(b.core(vxi::kDeviceLock, Args().u32(lidB).u32(0).u32(0).bytes())->word(0), 0);
  EXPECT_EQ(b.core(vxi::kDeviceUnlock, Args().u32(lidB).bytes())->word(0), 0);
}

// A restart answers the write that asked for it, then drops every
// connection and refuses new ones until the instrument is back.
TEST_F(Vxi11Service, RestartDropsLinksAndRefusesWhileDown) {
  startService(1500ms);
  RpcClient idle = connected();
  ASSERT_EQ(idle.link().first, 0);
  RpcClient c = connected();
  const auto lid = c.link().second;
  EXPECT_EQ(c.write(lid, ":DIAG:HW:HOST:REB:SUB\n"), 0);
  EXPECT_FALSE(c.core(vxi::kDeviceReadStb, Args().u32(lid).u32(0).u32(0).u32(100).bytes()));
  EXPECT_FALSE(idle.link().first == 0);
  RpcClient refused;
  EXPECT_FALSE(refused.connectTo(server_->portmapperPort()));

  ASSERT_TRUE(instrument_->waitUntilUp(10s));
  RpcClient again = connected();
  const auto [error, newLid] = again.link();
  ASSERT_EQ(error, 0);
  EXPECT_EQ(again.write(lid, "*CLS\n"), vxi::kInvalidLinkId) << "links do not outlive a restart";
  EXPECT_EQ(again.write(newLid, "*CLS\n"), 0);
}

}  // namespace
}  // namespace benchfw::sim
