// A client connection served on a thread of its own, as both of the
// simulator's transports (raw socket, VXI-11) keep them.
#ifndef BENCHFW_SIM_SERVED_CONNECTION_H
#define BENCHFW_SIM_SERVED_CONNECTION_H

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>

namespace benchfw::sim {

struct ServedConnection {
  int fd = -1;
  std::string name;
  std::atomic<bool> dropRequested{false};
  std::atomic<bool> finished{false};
  std::thread thread;
};

// Wakes a server's poll loop from other threads (instrument going down or
// up, stop): an eventfd the loop polls beside its sockets.
class Wakeup {
 public:
  Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Wakeup() {
    if (fd_ >= 0) ::close(fd_);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // -1 when the eventfd could not be made (errno tells why).
  int fd() const { return fd_; }
  void signal() {
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
  }
  // Called by the loop once poll reports the eventfd readable.
  void drain() {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
  }

 private:
  int fd_;
};

// Joins the threads of finished connections (of all of them when `all`,
// which the caller makes finish first) and closes their descriptors.
template <typename Connection>
void reapFinished(std::list<std::unique_ptr<Connection>>& connections, bool all) {
  for (auto it = connections.begin(); it != connections.end();) {
    Connection& c = **it;
    if (!all && !c.finished) {
      ++it;
      continue;
    }
    if (c.thread.joinable()) c.thread.join();
    if (c.fd >= 0) ::close(c.fd);  // a reset closes its own at once
    it = connections.erase(it);
  }
}

}  // namespace benchfw::sim

#endif
