// A client connection served on a thread of its own, as both of the
// simulator's transports (raw socket, VXI-11) keep them.
#ifndef BENCHFW_SIM_SERVED_CONNECTION_H
#define BENCHFW_SIM_SERVED_CONNECTION_H

#include <unistd.h>

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
