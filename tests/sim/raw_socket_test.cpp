// The raw socket transport over loopback: a dialogue, and a restart that
// drops the client, refuses it while down and serves it again after.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim/instrument.h"
#include "sim/raw_socket_server.h"

namespace benchfw::sim {
namespace {

using namespace std::chrono_literals;

// A blocking loopback client whose every receive is bounded.
class Client {
 public:
  // False when the connection is refused.
  bool connectTo(std::uint16_t port) {
    if (fd_ >= 0) close(fd_);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval bound{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  void send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }
  // One line with its line feed; "<closed>" at end of stream.
  std::string line() {
    std::string out;
    char c;
    while (true) {
      const ssize_t n = recv(fd_, &c, 1, 0);
      if (n <= 0) return out + "<closed>";
      out += c;
      if (c == '\n') return out;
    }
  }

 private:
  int fd_ = -1;
};

// Listening follows "up" closely: waits for the port, with a bound.
bool connectWithin(Client& client, std::uint16_t port) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!client.connectTo(port)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(RawSocket, RestartDropsRefusesAndComesBack) {
  DialogueLog log;
  InstrumentConfig config;
  config.restartTime = 1500ms;
  Instrument instrument(config, log);
  RawSocketServer server(instrument);
  std::string error;
  ASSERT_TRUE(server.bind("127.0.0.1", 0, &error)) << error;
  ASSERT_NE(server.port(), 0);
  instrument.addListener(&server);
  server.start();
  instrument.start();
  ASSERT_TRUE(instrument.waitUntilUp(5s));

  {
    Client c;
    ASSERT_TRUE(connectWithin(c, server.port()));
    c.send("*IDN?;:DIAG:HW:HOST:FW:MAIN?\n*STB?\n");
    EXPECT_EQ(c.line(), "BENCHLAB,BL-7000,SN000123,MAIN 2.5.0;1\n");
    EXPECT_EQ(c.line(), "0\n");
    c.send(":DIAG:HW:HOST:REB:SUB\n");
    EXPECT_EQ(c.line(), "<closed>");
  }
  // By the time the connection dropped, the port refuses.
  Client refused;
  EXPECT_FALSE(refused.connectTo(server.port()));

  ASSERT_TRUE(instrument.waitUntilUp(10s));
  Client again;
  ASSERT_TRUE(connectWithin(again, server.port()));
  again.send(":DIAG:HW:HOST:FW:MAIN?\n");
  EXPECT_EQ(again.line(), "0\n");

  instrument.stop();
  instrument.removeListener(&server);
  server.stop();
}

}  // namespace
}  // namespace benchfw::sim
