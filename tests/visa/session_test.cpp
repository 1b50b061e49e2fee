#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "loopback_server.h"
#include "session_fixture.h"
#include "visa.h"

namespace benchfw::test {
namespace {

// "*STB?" stands in for the serial poll: the reply line is parsed as a
// decimal number, anything else is an I/O error, and the next exchange
// stays in step either way.
TEST(StatusByte, ReadWithStbQuery) {
  struct Case {
    const char* reply;
    ViStatus status;
    ViUInt16 stb;
  } cases[] = {
      {"16\n", VI_SUCCESS, 16},  {"+0\r\n", VI_SUCCESS, 0},  {" 255 \n", VI_SUCCESS, 255},
      {"256\n", VI_ERROR_IO, 0}, {"-1\n", VI_ERROR_IO, 0},   {"1e2\n", VI_ERROR_IO, 0},
      {"\n", VI_ERROR_IO, 0},    {"%s%s%n\n", VI_ERROR_IO, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    std::promise<std::string> query;
    LoopbackServer server([&](int fd) {
      query.set_value(readLine(fd));
      sendText(fd, c.reply);
      readLine(fd);  // the query that follows
      sendText(fd, "after\n");
      readToEof(fd);
    });
    OpenSession s(server);
    ViUInt16 stb = 999;
    EXPECT_EQ(viReadSTB(s.vi, &stb), c.status);
    if (c.status == VI_SUCCESS) {
      EXPECT_EQ(stb, c.stb);
    }
    EXPECT_EQ(query.get_future().get(), "*STB?\n");
    char reply[32] = {};
    EXPECT_EQ(viPrintf(s.vi, "*IDN?\n"), VI_SUCCESS);
    EXPECT_EQ(viScanf(s.vi, "%t", reply), VI_SUCCESS);
    EXPECT_STREQ(reply, "after\n");
  }
}

TEST(StatusByte, LongReplyIsAnErrorAndNoReplyTimesOut) {
  LoopbackServer server([](int fd) {
    readLine(fd);
    sendText(fd, std::string(100, '1') + "\n");
    readLine(fd);  // no answer to the second one
    readToEof(fd);
  });
  OpenSession s(server, 200);
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(s.vi, &stb), VI_ERROR_IO);
  EXPECT_EQ(viReadSTB(s.vi, &stb), VI_ERROR_TMO);
}

TEST(StatusByte, NormalProtocolHasNoStatusByte) {
  std::promise<std::string> seen;
  LoopbackServer server([&](int fd) { seen.set_value(readToEof(fd)); });
  ViUInt16 stb = 0;
  {
    OpenSession s(server);
    ViUInt16 prot = 0;
    ASSERT_EQ(viGetAttribute(s.vi, VI_ATTR_IO_PROT, &prot), VI_SUCCESS);
    EXPECT_EQ(prot, VI_PROT_4882_STRS);
    ASSERT_EQ(viSetAttribute(s.vi, VI_ATTR_IO_PROT, VI_PROT_NORMAL), VI_SUCCESS);
    EXPECT_EQ(viReadSTB(s.vi, &stb), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viSetAttribute(s.vi, VI_ATTR_IO_PROT, 3), VI_ERROR_NSUP_ATTR_STATE);
  }
  EXPECT_EQ(seen.get_future().get(), "");
}

// viClear drops the reply bytes the library holds and those waiting on the
// socket, and sends nothing: the instrument's next input is the next query.
TEST(Clear, DiscardsPendingInputAndSendsNothing) {
  Signal staleSent;
  std::promise<std::string> nextInput;
  LoopbackServer server([&](int fd) {
    sendText(fd, "first\nstale1\n");  // one segment: "stale1" ends up buffered
    readLine(fd);                     // the client has read "first"
    sendText(fd, "stale2\n");
    if (waitUntilDelivered(fd)) staleSent.raise();
    nextInput.set_value(readLine(fd));
    sendText(fd, "fresh\n");
    readToEof(fd);
  });
  OpenSession s(server);
  char reply[64] = {};
  ASSERT_EQ(viScanf(s.vi, "%t", reply), VI_SUCCESS);
  EXPECT_STREQ(reply, "first\n");
  ASSERT_EQ(viPrintf(s.vi, "go\n"), VI_SUCCESS);
  ASSERT_TRUE(staleSent.wait());
  ASSERT_EQ(viPrintf(s.vi, "*CLS"), VI_SUCCESS);  // pending in the write buffer
  EXPECT_EQ(viClear(s.vi), VI_SUCCESS);
  ASSERT_EQ(viPrintf(s.vi, "*IDN?\n"), VI_SUCCESS);
  EXPECT_EQ(nextInput.get_future().get(), "*IDN?\n");
  ASSERT_EQ(viScanf(s.vi, "%t", reply), VI_SUCCESS);
  EXPECT_STREQ(reply, "fresh\n");
}

LoopbackServer::Handler idle() {
  return [](int fd) { readToEof(fd); };
}

TEST(Sessions, ExclusiveLockWithinTheProcess) {
  LoopbackServer server(idle());
  const std::string name = server.resource();
  const std::string otherSpelling = "tcpip::127.0.0.1::" + std::to_string(server.port()) + "::socket";
  ViSession rm = VI_NULL, first = VI_NULL, second = VI_NULL, shared = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, name.c_str(), VI_EXCLUSIVE_LOCK, 100, &first), VI_SUCCESS);
  ViAccessMode lockState = VI_NO_LOCK;
  EXPECT_EQ(viGetAttribute(first, VI_ATTR_RSRC_LOCK_STATE, &lockState), VI_SUCCESS);
  EXPECT_EQ(lockState, VI_EXCLUSIVE_LOCK);

  second = 77;
  EXPECT_EQ(viOpen(rm, name.c_str(), VI_EXCLUSIVE_LOCK, 100, &second), VI_ERROR_RSRC_LOCKED);
  EXPECT_EQ(second, static_cast<ViSession>(VI_NULL));
  EXPECT_EQ(viOpen(rm, otherSpelling.c_str(), VI_EXCLUSIVE_LOCK, 0, &second),
            VI_ERROR_RSRC_LOCKED);
  EXPECT_EQ(viOpen(rm, name.c_str(), VI_NO_LOCK, 0, &shared), VI_SUCCESS);

  // A waiter gets the lock once the holder closes.
  auto waiter = std::async(std::launch::async, [&] {
    ViSession vi = VI_NULL;
    ViStatus st = viOpen(rm, name.c_str(), VI_EXCLUSIVE_LOCK, 60000, &vi);
    return std::make_pair(st, vi);
  });
  EXPECT_EQ(viClose(first), VI_SUCCESS);
  auto [status, vi] = waiter.get();
  EXPECT_EQ(status, VI_SUCCESS);
  EXPECT_NE(vi, static_cast<ViSession>(VI_NULL));
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
}

TEST(Sessions, ClosingTheManagerClosesItsSessions) {
  LoopbackServer server(idle());
  ViSession rm = VI_NULL, other = VI_NULL, a = VI_NULL, b = VI_NULL, kept = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpenDefaultRM(&other), VI_SUCCESS);
  EXPECT_NE(rm, other);
  ASSERT_EQ(viOpen(rm, server.resource().c_str(), VI_NO_LOCK, 0, &a), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, server.resource().c_str(), VI_EXCLUSIVE_LOCK, 0, &b), VI_SUCCESS);
  ASSERT_EQ(viOpen(other, server.resource().c_str(), VI_NO_LOCK, 0, &kept), VI_SUCCESS);
  EXPECT_NE(a, b);

  EXPECT_EQ(viClose(rm), VI_SUCCESS);
  EXPECT_TRUE(server.waitForFinishedHandlers(2)) << "the connections stayed open";
  EXPECT_EQ(viPrintf(a, "*CLS\n"), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viClose(b), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viOpen(rm, server.resource().c_str(), VI_NO_LOCK, 0, &a), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viPrintf(kept, "*CLS\n"), VI_SUCCESS);  // another manager's session lives on
  EXPECT_EQ(viClose(other), VI_SUCCESS);
}

TEST(Sessions, HandlesAndCloseEdges) {
  LoopbackServer server(idle());
  ViSession rm = VI_NULL, vi = VI_NULL, again = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, server.resource().c_str(), VI_NO_LOCK, 0, &vi), VI_SUCCESS);
  EXPECT_EQ(viOpen(vi, server.resource().c_str(), VI_NO_LOCK, 0, &again), VI_ERROR_NSUP_OPER);
  EXPECT_EQ(viOpen(rm, server.resource().c_str(), VI_SHARED_LOCK, 0, &again),
            VI_ERROR_INV_ACC_MODE);
  EXPECT_EQ(viOpen(rm, server.resource().c_str(), 0x100, 0, &again), VI_ERROR_INV_ACC_MODE);
  EXPECT_EQ(again, static_cast<ViSession>(VI_NULL));
  ViUInt32 tmo = 0;
  EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
  EXPECT_EQ(tmo, 2000u);

  EXPECT_EQ(viClose(vi), VI_SUCCESS);
  EXPECT_EQ(viClose(vi), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viClose(VI_NULL), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(viClose(0xDEADBEEF), VI_ERROR_INV_OBJECT);
  // A new session does not take the closed one's handle.
  ASSERT_EQ(viOpen(rm, server.resource().c_str(), VI_NO_LOCK, 0, &again), VI_SUCCESS);
  EXPECT_NE(again, vi);
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
  EXPECT_EQ(viClose(rm), VI_ERROR_INV_OBJECT);
}

// A host name goes through the resolver (on its helper thread). Only where
// /etc/hosts names localhost, so that no lookup leaves the machine.
TEST(Sessions, OpensByHostName) {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  bool listed = false;
  while (std::getline(hosts, line)) {
    listed = listed || (line.rfind("127.0.0.1", 0) == 0 && line.find(" localhost") != std::string::npos);
  }
  if (!listed) GTEST_SKIP() << "/etc/hosts does not name localhost";
  LoopbackServer server([](int fd) {
    sendText(fd, "hello\n");
    readToEof(fd);
  });
  const std::string name = "TCPIP::LocalHost::" + std::to_string(server.port()) + "::SOCKET";
  ViSession rm = VI_NULL, vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, name.c_str(), VI_NO_LOCK, 0, &vi), VI_SUCCESS);
  char reply[16] = {};
  EXPECT_EQ(viScanf(vi, "%t", reply), VI_SUCCESS);
  EXPECT_STREQ(reply, "hello\n");
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
}

TEST(Sessions, AttributesOfASocketSession) {
  LoopbackServer server(idle());
  OpenSession s(server);
  char text[256] = {};
  ASSERT_EQ(viGetAttribute(s.vi, VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
  EXPECT_EQ(text, server.resource());
  ASSERT_EQ(viGetAttribute(s.vi, VI_ATTR_TCPIP_ADDR, text), VI_SUCCESS);
  EXPECT_STREQ(text, "127.0.0.1");
  ViUInt16 port = 0;
  ASSERT_EQ(viGetAttribute(s.vi, VI_ATTR_TCPIP_PORT, &port), VI_SUCCESS);
  EXPECT_EQ(port, server.port());

  struct Case {
    ViAttr attr;
    ViAttrState value;
    ViStatus status;
  } cases[] = {
      {VI_ATTR_TMO_VALUE, VI_TMO_INFINITE, VI_SUCCESS},
      {VI_ATTR_SEND_END_EN, VI_FALSE, VI_SUCCESS},
      {VI_ATTR_SEND_END_EN, 2, VI_ERROR_NSUP_ATTR_STATE},
      {VI_ATTR_TERMCHAR, '\r', VI_SUCCESS},
      {VI_ATTR_TERMCHAR, 0x100, VI_ERROR_NSUP_ATTR_STATE},
      {VI_ATTR_TERMCHAR_EN, VI_TRUE, VI_SUCCESS},
      {VI_ATTR_WR_BUF_OPER_MODE, VI_FLUSH_ON_ACCESS, VI_SUCCESS},
      {VI_ATTR_WR_BUF_OPER_MODE, VI_FLUSH_DISABLE, VI_ERROR_NSUP_ATTR_STATE},
      {VI_ATTR_RD_BUF_OPER_MODE, VI_FLUSH_ON_ACCESS, VI_SUCCESS},
      {VI_ATTR_TCPIP_KEEPALIVE, VI_TRUE, VI_SUCCESS},
      {VI_ATTR_WR_BUF_SIZE, 100, VI_ERROR_ATTR_READONLY},
      {VI_ATTR_RSRC_NAME, 0, VI_ERROR_ATTR_READONLY},
      {0x3FFF0FFF, 0, VI_ERROR_NSUP_ATTR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attr);
    EXPECT_EQ(viSetAttribute(s.vi, c.attr, c.value), c.status);
  }
  ViUInt32 tmo = 0;
  EXPECT_EQ(viGetAttribute(s.vi, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
  EXPECT_EQ(tmo, VI_TMO_INFINITE);
  ViBoolean flag = VI_FALSE;
  EXPECT_EQ(viGetAttribute(s.vi, VI_ATTR_TCPIP_NODELAY, &flag), VI_SUCCESS);
  EXPECT_EQ(flag, VI_TRUE);
  EXPECT_EQ(viGetAttribute(s.vi, VI_ATTR_TCPIP_KEEPALIVE, &flag), VI_SUCCESS);
  EXPECT_EQ(flag, VI_TRUE);
  EXPECT_EQ(viSetAttribute(s.rm, VI_ATTR_TMO_VALUE, 5), VI_ERROR_NSUP_ATTR);
}

// Many threads on one session: each call's bytes stay together.
TEST(Sessions, ConcurrentCallsDoNotInterleave) {
  constexpr int kThreads = 4, kCalls = 200;
  std::promise<std::string> seen;
  LoopbackServer server([&](int fd) { seen.set_value(readToEof(fd)); });
  ViSession rm = VI_NULL, vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, server.resource().c_str(), VI_NO_LOCK, 0, &vi), VI_SUCCESS);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([vi, t] {
      for (int i = 0; i < kCalls; ++i) viPrintf(vi, "T%d:%04d\n", t, i);
    });
  }
  for (auto& t : threads) t.join();
  viClose(rm);
  std::string all = seen.get_future().get();
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kCalls * 8));
  for (std::size_t i = 0; i + 8 <= all.size(); i += 8) {
    ASSERT_EQ(all[i], 'T');
    ASSERT_EQ(all[i + 2], ':');
    ASSERT_EQ(all[i + 7], '\n');
  }
}

}  // namespace
}  // namespace benchfw::test
