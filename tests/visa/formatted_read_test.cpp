#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "formatted_io.h"
#include "loopback_server.h"
#include "session_fixture.h"
#include "visa.h"

namespace benchfw::test {
namespace {

// A server that sends `chunks` (one send each) as soon as the client
// connects, then waits for the client to hang up.
LoopbackServer::Handler sending(std::vector<std::string> chunks) {
  return [chunks](int fd) {
    for (const std::string& c : chunks) sendText(fd, c);
    readToEof(fd);
  };
}

std::vector<std::string> bytewise(const std::string& text) {
  std::vector<std::string> out;
  for (char c : text) out.emplace_back(1, c);
  return out;
}

// Reads replies with "%#t" and a 1024-byte buffer, as the updater does:
// room for 1023 characters offered, the NUL written at the count. The
// library writes nothing past the room it was given.
std::string readReply(ViSession vi, ViStatus* status) {
  char buf[1024];
  std::memset(buf, '#', sizeof buf);
  ViUInt32 count = sizeof buf - 1;
  *status = viScanf(vi, "%#t", &count, buf);
  if (count > sizeof buf - 1) return "<count beyond the room>";
  if (buf[sizeof buf - 1] != '#') return "<written past the room>";
  if (count < sizeof buf - 1 && buf[count] != '\0') return "<no NUL at the count>";
  return std::string(buf, count);
}

TEST(FormattedRead, RepliesEndAtTheLineFeed) {
  const std::string longReply = std::string(3000, 'x') + "\n";
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> replies;
  } cases[] = {
      {"one reply", {"ACME,BENCH-1,42,1.0\n"}, {"ACME,BENCH-1,42,1.0\n"}},
      {"two replies in one segment", {"+0,\"No error\"\n1\n"}, {"+0,\"No error\"\n", "1\n"}},
      {"one reply in many segments", bytewise("MAIN,0x00000000\n"), {"MAIN,0x00000000\n"}},
      // A reply that just fits, then one cut to the room offered: the rest
      // of that reply is dropped, so the next read gets the next reply.
      {"exactly the room", {std::string(1022, 'z') + "\n"}, {std::string(1022, 'z') + "\n"}},
      {"longer than the room", {longReply, "next\n"}, {std::string(1023, 'x'), "next\n"}},
      {"binary bytes", {std::string("a\0b\r\n", 5)}, {std::string("a\0b\r\n", 5)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(sending(c.chunks));
    OpenSession s(server);
    for (const std::string& expected : c.replies) {
      ViStatus st = VI_ERROR_SYSTEM_ERROR;
      EXPECT_EQ(readReply(s.vi, &st), expected);
      EXPECT_EQ(st, VI_SUCCESS);
    }
  }
}

// Without a width or '#', a string is cut to 1023 characters and a NUL,
// whatever the reply's length; a width stores that many and a NUL.
TEST(FormattedRead, StringsNeverOverrunTheirBuffer) {
  const std::string longReply = std::string(5000, 'y') + "\n";
  LoopbackServer server(sending({longReply, longReply, longReply, "tail\n", "word  rest\n"}));
  OpenSession s(server);
  std::vector<char> guarded(4096, '#');
  ASSERT_EQ(viScanf(s.vi, "%t", guarded.data()), VI_SUCCESS);
  EXPECT_EQ(std::strlen(guarded.data()), visa::kUnboundedStringLimit);
  EXPECT_EQ(guarded[visa::kUnboundedStringLimit + 1], '#');

  std::fill(guarded.begin(), guarded.end(), '#');
  ASSERT_EQ(viScanf(s.vi, "%10t", guarded.data()), VI_SUCCESS);
  EXPECT_STREQ(guarded.data(), "yyyyyyyyyy");
  EXPECT_EQ(guarded[11], '#');

  ASSERT_EQ(viScanf(s.vi, "%*t"), VI_SUCCESS);
  ASSERT_EQ(viScanf(s.vi, "%T", guarded.data()), VI_SUCCESS);
  EXPECT_STREQ(guarded.data(), "tail\n");

  char word[8] = {};
  int ignored = 0;
  ASSERT_EQ(viScanf(s.vi, "%7s%d", word, &ignored), VI_SUCCESS);
  EXPECT_STREQ(word, "word");
}

TEST(FormattedRead, NumbersAndLiterals) {
  LoopbackServer server(sending({"-113,\"Undefined header\"\n", "+16\n"}));
  OpenSession s(server);
  int code = 0;
  char text[64] = {};
  ASSERT_EQ(viScanf(s.vi, "%d,%t", &code, text), VI_SUCCESS);
  EXPECT_EQ(code, -113);
  EXPECT_STREQ(text, "\"Undefined header\"\n");
  long stb = 0;
  ASSERT_EQ(viScanf(s.vi, "%ld", &stb), VI_SUCCESS);
  EXPECT_EQ(stb, 16);
}

TEST(FormattedRead, UnsupportedAndMalformedFormatsReadNothing) {
  LoopbackServer server(sending({"1\n"}));
  OpenSession s(server);
  char buf[16] = {};
  EXPECT_EQ(viScanf(s.vi, "%f", buf), VI_ERROR_NSUP_FMT);
  EXPECT_EQ(viScanf(s.vi, "%", buf), VI_ERROR_INV_FMT);
  EXPECT_EQ(viScanf(s.vi, "%q", buf), VI_ERROR_INV_FMT);
  EXPECT_EQ(viScanf(s.vi, "%t", buf), VI_SUCCESS);
  EXPECT_STREQ(buf, "1\n");
}

// A reply that never ends runs into the I/O timeout; the bytes received so
// far are still NUL-terminated in the caller's buffer.
TEST(FormattedRead, ReplyThatNeverEndsTimesOut) {
  LoopbackServer server(sending({"partial reply"}));
  OpenSession s(server, 200);
  char buf[64];
  std::memset(buf, '#', sizeof buf);
  ViUInt32 count = sizeof buf - 1;
  EXPECT_EQ(viScanf(s.vi, "%#t", &count, buf), VI_ERROR_TMO);
  EXPECT_EQ(std::string(buf, count), "partial reply");
  EXPECT_EQ(buf[count], '\0');
}

}  // namespace
}  // namespace benchfw::test
