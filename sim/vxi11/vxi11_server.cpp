#include "sim/vxi11/vxi11_server.h"
#include "sim/served_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "rpc/message.h"
#include "rpc/record.h"

namespace benchfw::sim {
namespace {

// How often idle threads look at drop and stop requests.
constexpr int kTickMs = 50;
// The longest a restarted connection waits for the acceptor to catch up.
constexpr int kDropWaitMs = 2000;
// A client that takes no reply bytes for this long is given up on.
constexpr int kSendStallMs = 10000;
// Room for the RPC header and fixed arguments around a maximal write; a
// record beyond that is not a call we would accept, so the connection goes.
constexpr std::size_t kRecordSlack = 64 * 1024;

// Resolves a numeric address for bind().
bool numericAddress(const std::string& address, std::uint16_t port, int type,
                    sockaddr_storage* out, socklen_t* length) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = type;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
    return false;
  std::memcpy(out, found->ai_addr, found->ai_addrlen);
  *length = found->ai_addrlen;
  freeaddrinfo(found);
  return true;
}

std::uint16_t boundPort(int fd) {
  sockaddr_storage sa{};
  socklen_t length = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
  if (sa.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port);
}

// A fresh socket bound to address:port (not listening), or -1.
int boundSocket(const std::string& address, std::uint16_t port, int type) {
  sockaddr_storage sa{};
  socklen_t length = 0;
  if (!numericAddress(address, port, type, &sa, &length)) {
    errno = EINVAL;
    return -1;
  }
  const int fd = socket(sa.ss_family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), length) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// Sends the reply (head, bulk, pad) completely, or gives up on a stalled or
// vanished client.
bool sendReply(int fd, Vxi11Reply& reply) {
  const std::size_t pad = rpc::xdrPad(reply.bulk.size());
  if (!reply.head.seal(reply.bulk.size() + pad)) return false;
  iovec parts[3] = {
      {const_cast<std::uint8_t*>(reply.head.head().data()), reply.head.head().size()},
      {const_cast<std::uint8_t*>(reply.bulk.data()), reply.bulk.size()},
      {const_cast<std::uint8_t*>(rpc::kZeroPad), pad}};
  std::size_t index = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendStallMs);
  while (index < 3) {
    if (parts[index].iov_len == 0) {
      ++index;
      continue;
    }
    msghdr msg{};
    msg.msg_iov = parts + index;
    msg.msg_iovlen = 3 - index;
    const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, static_cast<int>(left.count()));
      continue;
    }
    std::size_t done = static_cast<std::size_t>(n);
    while (done && index < 3) {
      const std::size_t step = std::min(done, parts[index].iov_len);
      parts[index].iov_base = static_cast<std::uint8_t*>(parts[index].iov_base) + step;
      parts[index].iov_len -= step;
      done -= step;
      if (parts[index].iov_len == 0) ++index;
    }
  }
  return true;
}

}  // namespace

struct Vxi11Server::Connection : ServedConnection {
  std::uint64_t generation = 0;  // the instrument's life it was accepted in
};

Vxi11Server::Vxi11Server(Instrument& instrument, const Vxi11Options& options)
    : instrument_(instrument), shared_{instrument} {
  shared_.maxRecvSize = options.maxRecvSize;
  portmap_.port = options.portmapperPort;
  core_.port = options.corePort;
}

Vxi11Server::~Vxi11Server() {
  stop();
  for (int fd : {portmap_.fd, core_.fd, udpFd_})
    if (fd >= 0) close(fd);
}

bool Vxi11Server::bindTcp(Endpoint& endpoint) {
  if (endpoint.fd >= 0) close(endpoint.fd);
  endpoint.listening = false;
  endpoint.fd = boundSocket(address_, endpoint.port, SOCK_STREAM);
  if (endpoint.fd < 0) return false;
  // A free port is picked once, in bind(); every later socket (after each
  // restart) takes the same number, so the ports stay put for the whole run.
  if (endpoint.port == 0) endpoint.port = boundPort(endpoint.fd);
  return true;
}

bool Vxi11Server::bindUdp() {
  udpFd_ = boundSocket(address_, portmap_.port, SOCK_DGRAM);
  return udpFd_ >= 0;
}

bool Vxi11Server::bind(const std::string& address, std::string* error) {
  address_ = address;
  if (wakeup_.fd() < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  const std::uint16_t wanted = portmap_.port;
  if (!bindTcp(portmap_) || !bindUdp()) {
    *error = "cannot bind the portmapper to " + address + " port " + std::to_string(wanted) +
             ": " + std::strerror(errno);
    return false;
  }
  if (!bindTcp(core_)) {
    *error = "cannot bind the VXI-11 core channel to " + address + ": " + std::strerror(errno);
    return false;
  }
  shared_.corePort = core_.port;
  return true;
}

void Vxi11Server::start() {
  if (acceptor_.joinable()) return;
  acceptor_ = std::thread([this] { acceptLoop(); });
}

void Vxi11Server::stop() {
  stopping_ = true;
  wake();
  if (acceptor_.joinable()) acceptor_.join();
}

void Vxi11Server::instrumentDown() { wake(); }
void Vxi11Server::instrumentUp() { wake(); }

void Vxi11Server::wake() { wakeup_.signal(); }

void Vxi11Server::acceptLoop() {
  while (!stopping_) {
    followInstrument();
    const bool up = portmap_.listening && core_.listening;
    pollfd fds[4] = {{wakeup_.fd(), POLLIN, 0}, {udpFd_, POLLIN, 0},
                     {portmap_.fd, POLLIN, 0}, {core_.fd, POLLIN, 0}};
    if (poll(fds, up ? 4 : 2, 4 * kTickMs) > 0) {
      if (fds[0].revents & POLLIN) wakeup_.drain();
      if (fds[1].revents & POLLIN) answerDatagram();
      if (up && (fds[2].revents & POLLIN)) acceptOne(portmap_, "portmap");
      if (up && (fds[3].revents & POLLIN)) acceptOne(core_, "vxi11");
    }
    reapFinished(connections_, false);
  }
  for (auto& c : connections_) c->dropRequested = true;
  reapFinished(connections_, true);
}

// Mirrors the instrument: refused while it is down, every connection of an
// earlier life dropped, listening again once it is up.
void Vxi11Server::followInstrument() {
  const bool up = instrument_.isUp();
  const std::uint64_t generation = instrument_.generation();
  if (!up || generation != servedGeneration_) {
    for (Endpoint* e : {&portmap_, &core_})
      if (e->listening) bindTcp(*e);  // bound, not listening: refused
    if (generation != servedGeneration_) {
      // Only connections of an earlier life: one accepted since the
      // instrument came back is a client that already reconnected.
      for (auto& c : connections_)
        if (c->generation != generation) c->dropRequested = true;
      servedGeneration_ = generation;
    }
  }
  if (!up) return;
  for (Endpoint* e : {&portmap_, &core_}) {
    if (e->listening) continue;
    if (e->fd < 0 && !bindTcp(*e)) continue;  // tried again on the next tick
    e->listening = listen(e->fd, 16) == 0;
  }
}

void Vxi11Server::answerDatagram() {
  std::vector<std::uint8_t> datagram(8192);
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const ssize_t n = recvfrom(udpFd_, datagram.data(), datagram.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&peer), &length);
  if (n <= 0 || !instrument_.isUp()) return;
  // Only the portmapper answers over UDP; the core channel is TCP-only.
  rpc::XdrReader peek(datagram.data(), static_cast<std::size_t>(n));
  rpc::CallHeader call;
  if (!rpc::getCallHeader(peek, &call) || call.program != rpc::portmap::kProgram) return;
  const std::atomic<bool> never{false};
  Vxi11Calls calls(shared_, "portmap/udp", never);
  Vxi11Reply reply;
  calls.handle({datagram.data(), static_cast<std::size_t>(n)}, &reply);
  if (!reply.send || !reply.head.seal(0)) return;
  // A datagram is one whole message: no record mark.
  const auto head = reply.head.head();
  sendto(udpFd_, head.data() + 4, head.size() - 4, MSG_DONTWAIT,
         reinterpret_cast<sockaddr*>(&peer), length);
}

void Vxi11Server::acceptOne(Endpoint& endpoint, const char* kind) {
  const int fd = accept4(endpoint.fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (!instrument_.isUp()) {
    close(fd);
    return;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  auto c = std::make_unique<Connection>();
  c->fd = fd;
  c->generation = instrument_.generation();
  c->name = std::string(kind) + "#" + std::to_string(nextClient_++);
  Connection* conn = c.get();
  c->thread = std::thread([this, conn] { serve(*conn); });
  connections_.push_back(std::move(c));
}

void Vxi11Server::serve(Connection& c) {
  instrument_.log().line(c.name, "connected");
  std::string reason;
  {
    Vxi11Calls calls(shared_, c.name, c.dropRequested);
    rpc::RecordAssembler record(shared_.maxRecvSize + kRecordSlack);
    while (reason.empty()) {
      if (c.dropRequested || stopping_) {
        reason = "dropped by the instrument";
        break;
      }
      pollfd p{c.fd, POLLIN, 0};
      if (poll(&p, 1, kTickMs) <= 0) continue;
      std::size_t room = 0;
      std::uint8_t* at = record.prepare(&room);
      const ssize_t n = recv(c.fd, at, room, MSG_DONTWAIT);
      if (n == 0) {
        reason = "closed by the client";
      } else if (n < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
          reason = std::string("receive failed: ") + std::strerror(errno);
        continue;
      }
      if (!reason.empty()) break;
      record.commit(static_cast<std::size_t>(n));
      if (record.tooLarge()) reason = "record too large";
      if (!record.complete()) continue;

      Vxi11Reply reply;
      calls.handle(record.record(), &reply);
      if (reply.send && !sendReply(c.fd, reply)) reason = "send failed";
      record.reset();
      if (reply.dropAfter && reply.send) awaitDropRequest(c);
      if (reply.dropAfter && reason.empty())
        reason = reply.send ? "dropped by the instrument" : "dropped without a reply";
    }
  }  // the links and their locks go before the client learns of the close
  shutdown(c.fd, SHUT_RDWR);
  instrument_.log().line(c.name, "connection closed: " + reason);
  c.finished = true;
  wake();
}

// After answering the command that restarted the instrument, the connection
// closes only once the acceptor has seen the restart (it stops listening
// before it asks connections to go): a client that sees the close and
// tries again is refused, as by an instrument that has left the network.
void Vxi11Server::awaitDropRequest(const Connection& c) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDropWaitMs);
  while (!c.dropRequested && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs / 10));
}

}  // namespace benchfw::sim
