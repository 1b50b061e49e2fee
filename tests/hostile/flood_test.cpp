// A peer that never stops sending and never ends its message. Bytes that
// are always waiting never let a wait run out, so the read's own timeout
// has to end it: a reply read and a status-byte poll both come back with
// VI_ERROR_TMO instead of reading forever.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "loopback_server.h"
#include "session_fixture.h"
#include "visa.h"

namespace benchfw::hostile {
namespace {

// Sends line after line of a message that has no end, until the client
// hangs up or the server shuts the connection down.
void flood(int fd) {
  const std::string chunk(64 * 1024, 'X');
  while (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
  }
}

TEST(Flood, EndlessReplyEndsWithTheTimeout) {
  test::LoopbackServer server(flood);
  test::OpenSession s(server, 300);
  // A read buffer of one byte makes the reader far slower than the peer, so
  // that bytes are always waiting whenever it looks.
  ASSERT_EQ(viSetBuf(s.vi, VI_READ_BUF, 1), VI_SUCCESS);
  char reply[1024];
  ViUInt32 size = sizeof reply;
  EXPECT_EQ(viScanf(s.vi, "%#t", &size, reply), VI_ERROR_TMO);
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(s.vi, &stb), VI_ERROR_TMO);
}

}  // namespace
}  // namespace benchfw::hostile
