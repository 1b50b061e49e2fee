// Our VISA library's VXI-11 client against a scripted RPC server: what
// goes on the wire (create_link, device_write chunks and END, io_timeout),
// how replies are matched and reassembled, and how every failure becomes
// a VISA status.
//
// The portmapper is looked up on the real port 111, so this suite runs in
// a private network namespace (see tests/netns/run_in_netns.sh).
#include <gtest/gtest.h>

#include <ostream>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "rpc/vxi11_wire.h"
#include "visa.h"
#include "vxi11_fake_server.h"

namespace {

using namespace benchfw;
using fake::Bytes;
using fake::RpcCall;
using fake::RpcConnection;
using fake::acceptedReply;
using fake::appendOpaque;
using fake::xdrWords;
namespace vxi = rpc::vxi11;

constexpr const char* kResource = "TCPIP0::127.0.0.1::inst0::INSTR";

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Write {
  std::int32_t flags;
  std::uint32_t ioTimeout;
  std::string data;
};

// A well-behaved VXI-11 device whose answers a test can replace per call.
class FakeDevice {
 public:
  // Return true when the call was answered.
  using Override = std::function<bool(const RpcCall&, RpcConnection&)>;

  std::uint32_t maxRecvSize = 1u << 20;
  std::size_t readChunk = 1u << 20;  // most bytes one device_read returns
  std::uint8_t stb = 0x10;

  void handle(const RpcCall& call, RpcConnection& conn) {
    std::unique_lock lock(mutex_);
    procedures_.push_back(call.header.procedure);
    if (override_ && override_(call, conn)) return;
    rpc::XdrReader in(call.args.data(), call.args.size());
    Bytes results;
    switch (call.header.procedure) {
      case vxi::kCreateLink:
        vxi::getCreateLinkParms(in, &link_);
        results = xdrWords({0, 7, 0, maxRecvSize});
        break;
      case vxi::kDeviceWrite: {
        vxi::WriteParms p;
        vxi::getWriteParms(in, &p);
        writes_.push_back({p.flags, p.ioTimeout, std::string(p.data.begin(), p.data.end())});
        results = xdrWords({0, static_cast<std::uint32_t>(p.data.size())});
        break;
      }
      case vxi::kDeviceRead: {
        vxi::ReadParms p;
        vxi::getReadParms(in, &p);
        reads_.push_back(p);
        std::string& head = responses_.front();
        std::size_t n = std::min({head.size(), readChunk, std::size_t{p.requestSize}});
        const auto term = head.find(static_cast<char>(p.termChar));
        const bool atTermChar = (p.flags & vxi::kFlagTermCharSet) && term < n;
        if (atTermChar) n = term + 1;
        const bool end = n == head.size();
        results = xdrWords({0, (end ? 4u : 0u) | (atTermChar ? 2u : 0u)});
        appendOpaque(results, bytesOf(head.substr(0, n)));
        head.erase(0, n);
        if (end) responses_.pop_front();
        break;
      }
      case vxi::kDeviceReadStb: results = xdrWords({0, stb}); break;
      default: results = xdrWords({0}); break;
    }
    conn.send(acceptedReply(call.header.xid, rpc::AcceptStat::success, results));
  }

  void respondWith(const std::string& response) {
    std::lock_guard lock(mutex_);
    responses_.push_back(response);
  }
  void setOverride(Override o) {
    std::lock_guard lock(mutex_);
    override_ = std::move(o);
  }
  std::vector<std::uint32_t> procedures() {
    std::lock_guard lock(mutex_);
    return procedures_;
  }
  std::vector<Write> writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  std::vector<vxi::ReadParms> reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  vxi::CreateLinkParms link() {
    std::lock_guard lock(mutex_);
    return link_;
  }

 private:
  std::mutex mutex_;
  Override override_;
  std::vector<std::uint32_t> procedures_;
  std::vector<Write> writes_;
  std::vector<vxi::ReadParms> reads_;
  std::deque<std::string> responses_;
  vxi::CreateLinkParms link_;
};

// The portmapper's answer to GETPORT for the core program.
enum class PortmapAnswer { corePort, zero, progUnavail, absent };

class Vxi11Client : public ::testing::Test {
 protected:
  void startServers(PortmapAnswer answer = PortmapAnswer::corePort) {
    core_ = std::make_unique<fake::FakeRpcServer>(
        0, [this](const RpcCall& c, RpcConnection& conn) { device_.handle(c, conn); });
    if (answer == PortmapAnswer::absent) return;
    portmap_ = std::make_unique<fake::FakeRpcServer>(
        111, [this, answer](const RpcCall& c, RpcConnection& conn) {
          const std::uint32_t port = answer == PortmapAnswer::corePort ? core_->port() : 0;
          conn.send(acceptedReply(c.header.xid,
                                  answer == PortmapAnswer::progUnavail ? rpc::AcceptStat::progUnavail
                                                                       : rpc::AcceptStat::success,
                                  xdrWords({port})));
        });
  }

  void SetUp() override { ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS); }
  void TearDown() override { viClose(rm_); }

  ViStatus open(ViAccessMode mode = VI_NO_LOCK, ViUInt32 openTimeout = 0) {
    return viOpen(rm_, kResource, mode, openTimeout, &vi_);
  }

  FakeDevice device_;
  std::unique_ptr<fake::FakeRpcServer> core_;
  std::unique_ptr<fake::FakeRpcServer> portmap_;
  ViSession rm_ = VI_NULL;
  ViSession vi_ = VI_NULL;
};

// The updater's dialogue, call by call.
TEST_F(Vxi11Client, OpensExclusiveQueriesAndClosesTheLink) {
  startServers();
  device_.readChunk = 7;  // the reply arrives over several device_read calls
  device_.respondWith("BENCHLAB,BL-7000,SN000123,2.5.0\n");
  ASSERT_EQ(open(VI_EXCLUSIVE_LOCK, 100), VI_SUCCESS);
  EXPECT_TRUE(device_.link().lockDevice);
  EXPECT_EQ(device_.link().lockTimeout, 100u);
  EXPECT_EQ(device_.link().device, "inst0");

  ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 1000), VI_SUCCESS);
  ViUInt16 stb = 0;
  ASSERT_EQ(viReadSTB(vi_, &stb), VI_SUCCESS);
  EXPECT_EQ(stb, 0x10);
  ASSERT_EQ(viClear(vi_), VI_SUCCESS);
  ASSERT_EQ(viPrintf(vi_, "*IDN?\n"), VI_SUCCESS);
  char reply[1024];
  ViUInt32 size = sizeof reply - 1;
  ASSERT_EQ(viScanf(vi_, "%#t", &size, reply), VI_SUCCESS);
  EXPECT_EQ(std::string(reply, size), "BENCHLAB,BL-7000,SN000123,2.5.0\n");
  ASSERT_EQ(viClose(vi_), VI_SUCCESS);

  const auto writes = device_.writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].data, "*IDN?\n");
  EXPECT_EQ(writes[0].flags, vxi::kFlagEnd);
  EXPECT_EQ(writes[0].ioTimeout, 1000u);
  for (const auto& r : device_.reads()) {
    EXPECT_GT(r.ioTimeout, 0u);
    EXPECT_LE(r.ioTimeout, 1000u) << "each read passes the time that is left";
  }
  std::vector<std::uint32_t> expected = {vxi::kCreateLink, vxi::kDeviceReadStb, vxi::kDeviceClear,
                                         vxi::kDeviceWrite};
  expected.insert(expected.end(), 5, vxi::kDeviceRead);  // 32 bytes in 7-byte pieces
  expected.push_back(vxi::kDestroyLink);
  EXPECT_EQ(device_.procedures(), expected);
}

// With the termination character enabled the device stops a read after it,
// and viRead reports it; without, the read runs to END.
TEST_F(Vxi11Client, TerminationCharacterEndsARead) {
  startServers();
  device_.respondWith("+0,\"No error\"\n");
  ASSERT_EQ(open(), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR, ','), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
  unsigned char buf[64];
  ViUInt32 got = 0;
  EXPECT_EQ(viRead(vi_, buf, sizeof buf, &got), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(std::string(buf, buf + got), "+0,");
  ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_FALSE), VI_SUCCESS);
  EXPECT_EQ(viRead(vi_, buf, sizeof buf, &got), VI_SUCCESS);
  EXPECT_EQ(std::string(buf, buf + got), "\"No error\"\n");
  const auto reads = device_.reads();
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].flags, vxi::kFlagTermCharSet);
  EXPECT_EQ(reads[0].termChar, ',');
  EXPECT_EQ(reads[1].flags, 0);
}

class BlockDownload : public Vxi11Client, public ::testing::WithParamInterface<std::uint32_t> {};

// A definite-length block goes out as one message however small the
// device's maxRecvSize: chunks no bigger than it, END only on the final
// line feed, then "*OPC?\n" as a message of its own.
TEST_P(BlockDownload, ChunksOneMessageWithEndOnlyAtItsEnd) {
  device_.maxRecvSize = GetParam();
  startServers();
  ASSERT_EQ(open(), VI_SUCCESS);
  Bytes image(20000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31);
  image[100] = '\n';  // line feeds inside the block are data
  ASSERT_EQ(viPrintf(vi_, "%s #9%09d", ":DIAG:UPD:SUB", static_cast<int>(image.size())), VI_SUCCESS);
  ViUInt32 accepted = 0;
  ASSERT_EQ(viBufWrite(vi_, image.data(), static_cast<ViUInt32>(image.size()), &accepted), VI_SUCCESS);
  EXPECT_EQ(accepted, image.size());
  ASSERT_EQ(viPrintf(vi_, "\n*OPC?\n"), VI_SUCCESS);

  std::vector<std::string> messages(1);
  for (const Write& w : device_.writes()) {
    EXPECT_LE(w.data.size(), GetParam());
    messages.back() += w.data;
    if (w.flags & vxi::kFlagEnd) messages.emplace_back();
  }
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], ":DIAG:UPD:SUB #9000020000" + std::string(image.begin(), image.end()) + "\n");
  EXPECT_EQ(messages[1], "*OPC?\n");
  EXPECT_EQ(messages[2], "");
}

INSTANTIATE_TEST_SUITE_P(Vxi11, BlockDownload, ::testing::Values(1024u, 4096u, 1u << 20));

// --- Reply matching ---------------------------------------------------------

struct ReplyScript {
  const char* name;
  friend void PrintTo(const ReplyScript& c, std::ostream* os) { *os << c.name; }
  // What the server sends for the device_readstb call with `xid`.
  std::function<void(std::uint32_t xid, RpcConnection&)> send;
  ViStatus first;   // viReadSTB's status
  ViStatus second;  // the next viReadSTB, answered normally
};

class ReplyMatching : public Vxi11Client, public ::testing::WithParamInterface<ReplyScript> {};

TEST_P(ReplyMatching, FollowsTheTransactionId) {
  startServers();
  ASSERT_EQ(open(), VI_SUCCESS);
  bool scripted = false;
  device_.setOverride([&](const RpcCall& c, RpcConnection& conn) {
    if (c.header.procedure != vxi::kDeviceReadStb || scripted) return false;
    scripted = true;
    GetParam().send(c.header.xid, conn);
    return true;
  });
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(vi_, &stb), GetParam().first);
  if (GetParam().first == VI_SUCCESS) {
    EXPECT_EQ(stb, 0x42);
  }
  EXPECT_EQ(viReadSTB(vi_, &stb), GetParam().second);
}

const Bytes kStb42 = xdrWords({0, 0x42});

INSTANTIATE_TEST_SUITE_P(
    Vxi11, ReplyMatching,
    ::testing::Values(
        ReplyScript{"StaleReplySkipped",
                    [](std::uint32_t xid, RpcConnection& c) {
                      c.send(acceptedReply(xid - 1, rpc::AcceptStat::success, xdrWords({0, 1})));
                      c.send(acceptedReply(xid, rpc::AcceptStat::success, kStb42));
                    },
                    VI_SUCCESS, VI_SUCCESS},
        ReplyScript{"FragmentsAcrossSegments",
                    [](std::uint32_t xid, RpcConnection& c) {
                      c.send(acceptedReply(xid, rpc::AcceptStat::success, kStb42, {5, 0, 11}), 3);
                    },
                    VI_SUCCESS, VI_SUCCESS},
        ReplyScript{"WrongXidClosesTheLink",
                    [](std::uint32_t xid, RpcConnection& c) {
                      c.send(acceptedReply(xid + 1, rpc::AcceptStat::success, kStb42));
                    },
                    VI_ERROR_IO, VI_ERROR_CONN_LOST},
        ReplyScript{"NotAReply",
                    [](std::uint32_t xid, RpcConnection& c) {
                      c.send(xdrWords({0x80000008, xid, 0}));
                    },
                    VI_ERROR_IO, VI_ERROR_CONN_LOST},
        ReplyScript{"PeerCloses", [](std::uint32_t, RpcConnection& c) { c.close(); },
                    VI_ERROR_CONN_LOST, VI_ERROR_CONN_LOST}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// A reply that comes too late is a stale answer for the next call to skip.
TEST_F(Vxi11Client, LateReplyTimesOutAndIsSkippedAfterwards) {
  startServers();
  ASSERT_EQ(open(), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 100), VI_SUCCESS);
  std::optional<std::uint32_t> unanswered;
  device_.setOverride([&](const RpcCall& c, RpcConnection& conn) {
    if (c.header.procedure == vxi::kDeviceReadStb && !unanswered) {
      unanswered = c.header.xid;  // no reply for now
      return true;
    }
    if (c.header.procedure == vxi::kDeviceReadStb)
      conn.send(acceptedReply(*unanswered, rpc::AcceptStat::success, xdrWords({0, 1})));
    return false;
  });
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(vi_, &stb), VI_ERROR_TMO);
  EXPECT_EQ(viReadSTB(vi_, &stb), VI_SUCCESS);
  EXPECT_EQ(stb, 0x10);
}

// --- Status mapping -----------------------------------------------------------

struct ErrorCase {
  const char* name;
  friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }
  rpc::AcceptStat stat;
  std::int32_t error;  // the VXI-11 error field, for an accepted reply
  ViStatus expected;
};

class ErrorMapping : public Vxi11Client, public ::testing::WithParamInterface<ErrorCase> {};

// The same status whether the failing call is a status-byte read or a write.
TEST_P(ErrorMapping, DeviceAndRpcErrorsBecomeVisaStatuses) {
  startServers();
  ASSERT_EQ(open(), VI_SUCCESS);
  device_.setOverride([](const RpcCall& c, RpcConnection& conn) {
    if (c.header.procedure != vxi::kDeviceReadStb && c.header.procedure != vxi::kDeviceWrite)
      return false;
    const Bytes results = GetParam().stat == rpc::AcceptStat::success
                              ? xdrWords({static_cast<std::uint32_t>(GetParam().error), 0})
                              : Bytes{};
    conn.send(acceptedReply(c.header.xid, GetParam().stat, results));
    return true;
  });
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(vi_, &stb), GetParam().expected);
  EXPECT_EQ(viPrintf(vi_, "*CLS\n"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vxi11, ErrorMapping,
    ::testing::Values(
        ErrorCase{"SyntaxError", rpc::AcceptStat::success, 1, VI_ERROR_IO},
        ErrorCase{"DeviceNotAccessible", rpc::AcceptStat::success, 3, VI_ERROR_CONN_LOST},
        ErrorCase{"InvalidLink", rpc::AcceptStat::success, 4, VI_ERROR_CONN_LOST},
        ErrorCase{"ParameterError", rpc::AcceptStat::success, 5, VI_ERROR_INV_PARAMETER},
        ErrorCase{"NotSupported", rpc::AcceptStat::success, 8, VI_ERROR_NSUP_OPER},
        ErrorCase{"OutOfResources", rpc::AcceptStat::success, 9, VI_ERROR_ALLOC},
        ErrorCase{"Locked", rpc::AcceptStat::success, 11, VI_ERROR_RSRC_LOCKED},
        ErrorCase{"NoLockHeld", rpc::AcceptStat::success, 12, VI_ERROR_SESN_NLOCKED},
        ErrorCase{"IoTimeout", rpc::AcceptStat::success, 15, VI_ERROR_TMO},
        ErrorCase{"IoError", rpc::AcceptStat::success, 17, VI_ERROR_IO},
        ErrorCase{"Abort", rpc::AcceptStat::success, 23, VI_ERROR_ABORT},
        ErrorCase{"ProcUnavail", rpc::AcceptStat::procUnavail, 0, VI_ERROR_NSUP_OPER},
        ErrorCase{"GarbageArgs", rpc::AcceptStat::garbageArgs, 0, VI_ERROR_IO},
        ErrorCase{"SystemErr", rpc::AcceptStat::systemErr, 0, VI_ERROR_IO}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

struct OpenCase {
  const char* name;
  friend void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }
  PortmapAnswer portmap;
  std::optional<std::int32_t> createLinkError;  // nullopt: PROG_UNAVAIL
  ViStatus expected;
};

class OpenFailures : public Vxi11Client, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFailures, MapToOpenStatuses) {
  startServers(GetParam().portmap);
  device_.setOverride([](const RpcCall& c, RpcConnection& conn) {
    if (!GetParam().createLinkError) {
      conn.send(acceptedReply(c.header.xid, rpc::AcceptStat::progMismatch, {}));
    } else {
      conn.send(acceptedReply(c.header.xid, rpc::AcceptStat::success,
                              xdrWords({static_cast<std::uint32_t>(*GetParam().createLinkError), 0,
                                        0, 1024})));
    }
    return true;
  });
  EXPECT_EQ(open(VI_EXCLUSIVE_LOCK, 50), GetParam().expected);
  EXPECT_EQ(vi_, static_cast<ViSession>(VI_NULL));
}

INSTANTIATE_TEST_SUITE_P(
    Vxi11, OpenFailures,
    ::testing::Values(
        OpenCase{"NoPortmapper", PortmapAnswer::absent, 0, VI_ERROR_RSRC_NFOUND},
        OpenCase{"NotRegistered", PortmapAnswer::zero, 0, VI_ERROR_RSRC_NFOUND},
        OpenCase{"PortmapperWithoutIt", PortmapAnswer::progUnavail, 0, VI_ERROR_RSRC_NFOUND},
        OpenCase{"CoreVersionMismatch", PortmapAnswer::corePort, std::nullopt, VI_ERROR_RSRC_NFOUND},
        OpenCase{"UnknownDevice", PortmapAnswer::corePort, 3, VI_ERROR_RSRC_NFOUND},
        OpenCase{"InvalidAddress", PortmapAnswer::corePort, 21, VI_ERROR_RSRC_NFOUND},
        OpenCase{"OutOfResources", PortmapAnswer::corePort, 9, VI_ERROR_ALLOC},
        OpenCase{"LockedByAnother", PortmapAnswer::corePort, 11, VI_ERROR_RSRC_LOCKED}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// The test-only portmapper port: with the variable set, nothing needs 111.
TEST_F(Vxi11Client, PortmapperPortFromTheEnvironment) {
  core_ = std::make_unique<fake::FakeRpcServer>(
      0, [this](const RpcCall& c, RpcConnection& conn) { device_.handle(c, conn); });
  fake::FakeRpcServer portmap(0, [this](const RpcCall& c, RpcConnection& conn) {
    conn.send(acceptedReply(c.header.xid, rpc::AcceptStat::success, xdrWords({core_->port()})));
  });
  setenv("BENCHFW_VXI11_PORTMAPPER_PORT", std::to_string(portmap.port()).c_str(), 1);
  const ViStatus status = open();
  unsetenv("BENCHFW_VXI11_PORTMAPPER_PORT");
  EXPECT_EQ(status, VI_SUCCESS);
}

}  // namespace
