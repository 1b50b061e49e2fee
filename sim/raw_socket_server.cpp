#include "sim/raw_socket_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "sim/served_connection.h"
#include "sim/session.h"

namespace benchfw::sim {
namespace {

// How often idle threads look at the instrument and at stop requests.
constexpr int tickMs = 50;
// A client that takes no bytes for this long is given up on.
constexpr int sendStallMs = 10000;

union SocketAddress {
  sockaddr any;
  sockaddr_in v4;
  sockaddr_in6 v6;
  sockaddr_storage storage;
};

bool parseAddress(const std::string& text, std::uint16_t port, SocketAddress& out,
                  socklen_t& length) {
  std::memset(&out, 0, sizeof out);
  if (inet_pton(AF_INET, text.c_str(), &out.v4.sin_addr) == 1) {
    out.v4.sin_family = AF_INET;
    out.v4.sin_port = htons(port);
    length = sizeof out.v4;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), &out.v6.sin6_addr) == 1) {
    out.v6.sin6_family = AF_INET6;
    out.v6.sin6_port = htons(port);
    length = sizeof out.v6;
    return true;
  }
  return false;
}

std::string peerName(const SocketAddress& peer) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (peer.any.sa_family == AF_INET) {
    inet_ntop(AF_INET, &peer.v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.v4.sin_port));
  }
  if (peer.any.sa_family == AF_INET6)
    inet_ntop(AF_INET6, &peer.v6.sin6_addr, text, sizeof text);
  return "[" + std::string(text) + "]:" + std::to_string(ntohs(peer.v6.sin6_port));
}

// Sends everything or gives up: false when the peer is gone or stalls.
bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(sendStallMs);
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
  return true;
}

}  // namespace

struct RawSocketServer::Connection : ServedConnection {
  std::string peer;
};

RawSocketServer::RawSocketServer(Instrument& instrument) : instrument_(instrument) {}

RawSocketServer::~RawSocketServer() {
  stop();
  if (listenFd_ >= 0) close(listenFd_);
}

bool RawSocketServer::bind(const std::string& address, std::uint16_t port, std::string* error) {
  SocketAddress sa;
  socklen_t length = 0;
  if (!parseAddress(address, port, sa, length)) {
    *error = "not an IPv4 or IPv6 address: " + address;
    return false;
  }
  if (wakeup_.fd() < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  address_ = address;
  family_ = sa.any.sa_family;
  port_ = port;
  if (!rebind()) {
    *error = "cannot bind " + endpoint() + ": " + std::strerror(errno);
    return false;
  }
  SocketAddress bound;
  socklen_t boundLength = sizeof bound;
  if (getsockname(listenFd_, &bound.any, &boundLength) == 0)
    port_ = ntohs(family_ == AF_INET ? bound.v4.sin_port : bound.v6.sin6_port);
  return true;
}

bool RawSocketServer::rebind() {
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = socket(family_, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  const int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  SocketAddress sa;
  socklen_t length = 0;
  parseAddress(address_, port_, sa, length);
  if (::bind(listenFd_, &sa.any, length) != 0) {
    const int saved = errno;
    close(listenFd_);
    listenFd_ = -1;
    errno = saved;
    return false;
  }
  return true;
}

std::string RawSocketServer::endpoint() const {
  const std::string host = family_ == AF_INET6 ? "[" + address_ + "]" : address_;
  return host + ":" + std::to_string(port_);
}

void RawSocketServer::start() {
  if (acceptor_.joinable()) return;
  acceptor_ = std::thread([this] { acceptLoop(); });
}

void RawSocketServer::stop() {
  stopping_ = true;
  wake();
  servedChanged_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
}

void RawSocketServer::instrumentDown() {
  const std::uint64_t generation = instrument_.generation();
  wake();
  std::unique_lock<std::mutex> lock(servedMutex_);
  servedChanged_.wait_for(lock, std::chrono::seconds(2), [&] {
    return stopping_ || !acceptor_.joinable() || (servedGeneration_ == generation && !servedUp_);
  });
}

void RawSocketServer::instrumentUp() { wake(); }

void RawSocketServer::wake() { wakeup_.signal(); }

void RawSocketServer::acceptLoop() {
  while (!stopping_) {
    followInstrument();
    pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, {listenFd_, POLLIN, 0}};
    const nfds_t count = listening_ ? 2 : 1;
    if (poll(fds, count, 4 * tickMs) > 0) {
      if (fds[0].revents & POLLIN) wakeup_.drain();
      if (count == 2 && (fds[1].revents & POLLIN)) acceptOne();
    }
    reapFinished(connections_, false);
  }
  for (auto& c : connections_) c->dropRequested = true;
  reapFinished(connections_, true);
  if (listening_) {
    close(listenFd_);
    listenFd_ = -1;
    listening_ = false;
  }
}

// Mirrors the instrument: refused while it is down, every connection of an
// earlier life dropped, listening again once it is up.
void RawSocketServer::followInstrument() {
  const bool up = instrument_.isUp();
  const std::uint64_t generation = instrument_.generation();
  std::unique_lock<std::mutex> served(servedMutex_);
  if (!up || generation != servedGeneration_) {
    if (listening_) {
      listening_ = false;
      rebind();  // a fresh socket, bound but not listening: refused
    }
    if (generation != servedGeneration_) {
      for (auto& c : connections_) c->dropRequested = true;
      servedGeneration_ = generation;
    }
  }
  servedUp_ = listening_;
  bool nowListening = false;
  if (up && !listening_ && (listenFd_ >= 0 || rebind()) && listen(listenFd_, 16) == 0) {
    listening_ = servedUp_ = nowListening = true;
  }
  served.unlock();
  servedChanged_.notify_all();
  if (nowListening && onListening_) onListening_();
}

void RawSocketServer::acceptOne() {
  SocketAddress peer;
  socklen_t length = sizeof peer;
  const int fd = accept4(listenFd_, &peer.any, &length, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (!instrument_.isUp()) {
    close(fd);
    return;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  auto c = std::make_unique<Connection>();
  c->fd = fd;
  c->name = "raw#" + std::to_string(nextClient_++);
  c->peer = peerName(peer);
  Connection* conn = c.get();
  Instrument& instrument = instrument_;
  c->thread = std::thread([conn, &instrument, this] {
    Session session(instrument, conn->name, ResponseMode::pushed);
    instrument.log().line(conn->name, "connected from " + conn->peer);
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::string out;
    std::string reason;
    while (reason.empty()) {
      if (conn->dropRequested || !session.alive()) {
        reason = "dropped by the instrument";
        break;
      }
      pollfd p{conn->fd, POLLIN, 0};
      if (poll(&p, 1, tickMs) > 0) {
        const ssize_t n = recv(conn->fd, buffer.data(), buffer.size(), 0);
        if (n == 0) {
          reason = "closed by the client";
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
          reason = std::string("receive failed: ") + std::strerror(errno);
        } else if (n > 0 && !session.deliver(buffer.data(), static_cast<std::size_t>(n), false)) {
          reason = "dropped by the instrument";
        }
      }
      out.clear();
      if (reason.empty() && session.takeReadyOutput(out) && !sendAll(conn->fd, out))
        reason = "send failed";
    }
    if (session.resetRequested()) {
      // Closed at once with a zero linger time, the connection is aborted:
      // the client gets a reset, not an orderly end.
      const linger abort{1, 0};
      setsockopt(conn->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      close(conn->fd);
      conn->fd = -1;
    } else {
      // The acceptor closes the descriptor after joining; shutting it down
      // here already tells the client.
      shutdown(conn->fd, SHUT_RDWR);
    }
    instrument.log().line(conn->name, "connection closed: " + reason);
    conn->finished = true;
    wake();
  });
  connections_.push_back(std::move(c));
}

}  // namespace benchfw::sim
