#include "vxi11_fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "rpc/outgoing.h"
#include "rpc/record.h"

namespace benchfw::fake {
namespace {
constexpr int kTickMs = 20;
}

Bytes acceptedReply(std::uint32_t xid, rpc::AcceptStat stat, const Bytes& results,
                    const std::vector<std::size_t>& fragments) {
  std::uint8_t head[64];
  rpc::XdrWriter w(head, sizeof head);
  rpc::putAcceptedReply(w, xid, stat, 1, 1);
  Bytes body(head, head + w.size());
  body.insert(body.end(), results.begin(), results.end());
  Bytes out;
  std::size_t at = 0;
  auto fragment = [&](std::size_t n, bool last) {
    const Bytes mark = xdrWords({(last ? rpc::kLastFragment : 0u) | static_cast<std::uint32_t>(n)});
    out.insert(out.end(), mark.begin(), mark.end());
    out.insert(out.end(), body.begin() + at, body.begin() + at + n);
    at += n;
  };
  for (std::size_t n : fragments) fragment(std::min(n, body.size() - at), false);
  fragment(body.size() - at, true);
  return out;
}

void RpcConnection::send(const Bytes& bytes, std::size_t segment) {
  if (fd_ < 0) return;
  const std::size_t step = segment ? segment : bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const std::size_t n = std::min(step, bytes.size() - at);
    if (::send(fd_, bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return;
    // Separate segments: the client must reassemble across reads.
    if (segment) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void RpcConnection::close() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  fd_ = -1;
}

FakeRpcServer::FakeRpcServer(std::uint16_t port, Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(listenFd_, 4) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("fake RPC server cannot listen on port " + std::to_string(port));
  }
  socklen_t length = sizeof sa;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &length);
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { run(); });
}

FakeRpcServer::~FakeRpcServer() {
  stopping_ = true;
  thread_.join();
  ::close(listenFd_);
}

void FakeRpcServer::run() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, kTickMs) <= 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    serve(fd);
    ::close(fd);
  }
}

void FakeRpcServer::serve(int fd) {
  rpc::RecordAssembler record(16 << 20);
  RpcConnection connection(fd);
  while (!stopping_) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kTickMs) <= 0) continue;
    std::size_t room = 0;
    std::uint8_t* at = record.prepare(&room);
    const ssize_t n = recv(fd, at, room, 0);
    if (n <= 0) return;
    record.commit(static_cast<std::size_t>(n));
    if (record.tooLarge()) return;
    if (!record.complete()) continue;
    rpc::XdrReader in(record.record());
    RpcCall call;
    if (!rpc::getCallHeader(in, &call.header)) return;
    const auto rest = record.record().last(in.remaining());
    call.args.assign(rest.begin(), rest.end());
    record.reset();
    handler_(call, connection);
  }
}

}  // namespace benchfw::fake
