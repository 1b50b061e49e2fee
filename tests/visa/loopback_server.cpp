#include "loopback_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <stdexcept>

namespace benchfw::test {

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || wakeFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("loopback server setup failed");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  std::uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : workers_) t.join();
  ::close(listenFd_);
  ::close(wakeFd_);
}

std::string LoopbackServer::resource() const {
  return "TCPIP0::127.0.0.1::" + std::to_string(port_) + "::SOCKET";
}

void LoopbackServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(mutex_);
    connections_.push_back(fd);
    workers_.emplace_back([this, fd] {
      handler_(fd);
      // The instrument hangs up: a FIN, or a reset if input is left unread.
      std::lock_guard done(mutex_);
      std::erase(connections_, fd);
      ::close(fd);
      ++finishedCount_;
      finished_.notify_all();
    });
  }
}

bool LoopbackServer::waitForFinishedHandlers(int n, std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, bound, [&] { return finishedCount_ >= n; });
}

std::string readBytes(int fd, std::size_t n) {
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return out;
}

std::string readLine(int fd) {
  std::string line;
  for (char c = 0; c != '\n';) {
    std::string one = readBytes(fd, 1);
    if (one.empty()) break;
    c = one[0];
    line += c;
  }
  return line;
}

std::string readToEof(int fd) {
  std::string all;
  char buf[65536];
  for (;;) {
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return all;
    all.append(buf, static_cast<std::size_t>(r));
  }
}

void sendText(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t r = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(r));
  }
}

bool waitUntilDelivered(int fd, std::chrono::milliseconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  for (;;) {
    int unacknowledged = 0;
    if (::ioctl(fd, TIOCOUTQ, &unacknowledged) != 0) return false;
    if (unacknowledged == 0) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    ::poll(nullptr, 0, 1);  // re-check the condition shortly
  }
}

void Signal::raise() {
  std::lock_guard lock(mutex_);
  raised_ = true;
  cv_.notify_all();
}

bool Signal::wait(std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, bound, [&] { return raised_; });
}

int openDescriptorCount() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

}  // namespace benchfw::test
