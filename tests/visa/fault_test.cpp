#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "loopback_server.h"
#include "session_fixture.h"
#include "visa.h"

namespace benchfw::test {
namespace {

// A bound socket that does not listen: every connect to its port is refused.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  std::string resource() const {
    return "TCPIP0::127.0.0.1::" + std::to_string(port_) + "::SOCKET";
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

TEST(Faults, RefusedPortIsNotFound) {
  RefusingPort refusing;
  ViSession rm = VI_NULL, vi = 5;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  EXPECT_EQ(viOpen(rm, refusing.resource().c_str(), VI_EXCLUSIVE_LOCK, 100, &vi),
            VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
  // The failed open released its lock: the next one is refused again, not locked out.
  EXPECT_EQ(viOpen(rm, refusing.resource().c_str(), VI_EXCLUSIVE_LOCK, 0, &vi),
            VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
}

// Failed opens of every kind leave no descriptor behind.
TEST(Faults, FailedOpensLeakNoDescriptors) {
  RefusingPort refusing;
  Signal accepted;
  LoopbackServer server([&](int fd) {
    accepted.raise();
    readToEof(fd);
  });
  ViSession rm = VI_NULL, holder = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, server.resource().c_str(), VI_EXCLUSIVE_LOCK, 0, &holder), VI_SUCCESS);
  ASSERT_TRUE(accepted.wait());  // the server's end of it is counted too
  const std::string names[] = {refusing.resource(), "TCPIP0::127.0.0.1::x::SOCKET",
                               "GPIB0::5::INSTR", "TCPIP0::127.0.0.1::inst0::INSTR",
                               server.resource()};
  const int before = openDescriptorCount();
  for (int i = 0; i < 1000; ++i) {
    const std::string& name = names[i % std::size(names)];
    ViSession vi = VI_NULL;
    ASSERT_LT(viOpen(rm, name.c_str(), VI_EXCLUSIVE_LOCK, 0, &vi), VI_SUCCESS) << name;
  }
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
}

// The instrument hangs up while a large block is being sent: the write
// fails with a lost connection (and no SIGPIPE ends the process).
TEST(Faults, PeerClosingMidWrite) {
  LoopbackServer server([](int fd) { readBytes(fd, 1000); });
  OpenSession s(server, 10000);
  const std::vector<unsigned char> block(32 * 1024 * 1024, 'A');
  ViUInt32 written = 0;
  ViStatus st = viBufWrite(s.vi, block.data(), static_cast<ViUInt32>(block.size()), &written);
  EXPECT_EQ(st, VI_ERROR_CONN_LOST);
  EXPECT_LT(written, block.size());
  EXPECT_EQ(viPrintf(s.vi, "*CLS\n"), VI_ERROR_CONN_LOST);
}

TEST(Faults, PeerClosingMidRead) {
  LoopbackServer server([](int fd) { sendText(fd, "partial"); });
  OpenSession s(server);
  char buf[64] = {};
  EXPECT_EQ(viScanf(s.vi, "%t", buf), VI_ERROR_CONN_LOST);
  EXPECT_STREQ(buf, "partial");
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(s.vi, &stb), VI_ERROR_CONN_LOST);
}

// A peer that reads nothing: the send window fills and the write gives up
// at the I/O timeout.
TEST(Faults, ShortTimeoutBoundsWritesAndReads) {
  Signal done;
  LoopbackServer server([&](int fd) {
    done.wait(std::chrono::seconds(30));
    (void)fd;
  });
  OpenSession s(server, 100);
  const std::vector<unsigned char> block(64 * 1024 * 1024, 'B');
  ViUInt32 written = 0;
  EXPECT_EQ(viBufWrite(s.vi, block.data(), static_cast<ViUInt32>(block.size()), &written),
            VI_ERROR_TMO);
  EXPECT_LT(written, block.size());
  char buf[16];
  EXPECT_EQ(viScanf(s.vi, "%t", buf), VI_ERROR_TMO);
  ViUInt8 raw[4];
  ViUInt32 got = 0;
  EXPECT_EQ(viRead(s.vi, raw, sizeof raw, &got), VI_ERROR_TMO);
  ASSERT_EQ(viSetAttribute(s.vi, VI_ATTR_TMO_VALUE, VI_TMO_IMMEDIATE), VI_SUCCESS);
  EXPECT_EQ(viRead(s.vi, raw, sizeof raw, &got), VI_ERROR_TMO);
  done.raise();
}

TEST(Faults, RawReadAndWrite) {
  LoopbackServer server([](int fd) {
    std::string line = readLine(fd);
    sendText(fd, "ab\ncdef");
    readToEof(fd);
    (void)line;
  });
  OpenSession s(server, 200);
  ViUInt32 n = 0;
  ASSERT_EQ(viWrite(s.vi, reinterpret_cast<ViConstBuf>("*IDN?\n"), 6, &n), VI_SUCCESS);
  EXPECT_EQ(n, 6u);
  ViByte buf[8] = {};
  EXPECT_EQ(viRead(s.vi, buf, sizeof buf, &n), VI_SUCCESS);  // the line feed ends it
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "ab\n");
  EXPECT_EQ(viRead(s.vi, buf, 2, &n), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "cd");
  ASSERT_EQ(viSetAttribute(s.vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
  EXPECT_EQ(viRead(s.vi, buf, sizeof buf, &n), VI_ERROR_TMO);
  EXPECT_EQ(n, 2u);
}

}  // namespace
}  // namespace benchfw::test
