// A TCP server on 127.0.0.1 with an ephemeral port, playing the instrument
// in a test. Each accepted connection runs the test's handler on its own
// thread and is closed when the handler returns; the destructor shuts the
// remaining connections down (so a handler blocked in a read returns) and
// joins the threads.
#ifndef BENCHFW_TESTS_VISA_LOOPBACK_SERVER_H
#define BENCHFW_TESTS_VISA_LOOPBACK_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace benchfw::test {

class LoopbackServer {
 public:
  using Handler = std::function<void(int fd)>;
  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string resource() const;  // "TCPIP0::127.0.0.1::<port>::SOCKET"
  // Waits (bounded) until `n` connections have been accepted and their
  // handlers have returned.
  bool waitForFinishedHandlers(int n, std::chrono::milliseconds bound = std::chrono::seconds(10));

 private:
  void acceptLoop();

  Handler handler_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable finished_;
  int finishedCount_ = 0;
  std::vector<int> connections_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// Blocking helpers for handlers. Each returns what it got when the peer
// closes early.
std::string readLine(int fd);
std::string readBytes(int fd, std::size_t n);
std::string readToEof(int fd);
void sendText(int fd, std::string_view text);
// Waits (bounded) until the peer's TCP stack has acknowledged everything
// sent, i.e. it waits in the client's receive queue.
bool waitUntilDelivered(int fd, std::chrono::milliseconds bound = std::chrono::seconds(10));

// A one-shot flag a handler raises and a test waits for (bounded).
class Signal {
 public:
  void raise();
  bool wait(std::chrono::milliseconds bound = std::chrono::seconds(10));

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool raised_ = false;
};

// Number of descriptors this process has open.
int openDescriptorCount();

}  // namespace benchfw::test

#endif
