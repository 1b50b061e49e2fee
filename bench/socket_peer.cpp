#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "transfer_peers.h"

namespace benchfw::bench {

int listenOnLoopback(std::uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    std::exit(3);
  *port = ntohs(a.sin_port);
  return fd;
}

SocketDiscardPeer::SocketDiscardPeer(std::size_t messageBytes) : messageBytes_(messageBytes) {
  listenFd_ = listenOnLoopback(&port_);
  thread_ = std::thread([this] { serve(); });
}

SocketDiscardPeer::~SocketDiscardPeer() {
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  ::close(listenFd_);
}

void SocketDiscardPeer::serve() {
  const int fd = ::accept(listenFd_, nullptr, nullptr);
  if (fd < 0) return;
  std::vector<char> sink(1 << 20);
  std::size_t seen = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, sink.data(), sink.size(), 0);
    if (n <= 0) break;
    seen += static_cast<std::size_t>(n);
    if (seen >= messageBytes_) {
      seen -= messageBytes_;
      ::send(fd, "1\n", 2, MSG_NOSIGNAL);
    }
  }
  ::close(fd);
}

}  // namespace benchfw::bench
