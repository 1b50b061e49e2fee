#include "socket_io.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace benchfw::visa {

// ---- FileDescriptor --------------------------------------------------------

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int FileDescriptor::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileDescriptor::reset(int fd) {
  // close() is not retried after EINTR: on Linux the descriptor is gone
  // either way, and a retry could close a descriptor another thread got.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

// ---- Deadline ---------------------------------------------------------------

Deadline Deadline::after(ViUInt32 timeoutMs) {
  Deadline d;
  d.immediate_ = timeoutMs == VI_TMO_IMMEDIATE;
  if (timeoutMs != VI_TMO_INFINITE) {
    d.infinite_ = false;
    d.at_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
  }
  return d;
}

bool Deadline::passed() const { return !infinite_ && Clock::now() >= at_; }

int Deadline::pollMs() const {
  if (infinite_) return -1;
  auto left = at_ - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

ViUInt32 Deadline::remainingMs() const {
  if (infinite_) return VI_TMO_INFINITE;
  return static_cast<ViUInt32>(pollMs());
}

namespace {

// Waits until `fd` is ready for `events`. VI_SUCCESS when ready (or when
// the socket reports an error or hang-up: the next call on it tells which).
ViStatus waitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, deadline.pollMs());
    if (n > 0) return VI_SUCCESS;
    if (n == 0) return VI_ERROR_TMO;
    if (errno != EINTR) return VI_ERROR_IO;
  }
}

ViStatus statusForErrno(int err) {
  switch (err) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNABORTED:
    case ETIMEDOUT:  // keep-alive or retransmission gave up on the peer
    case EHOSTUNREACH:
    case ENETUNREACH:
      return VI_ERROR_CONN_LOST;
    default:
      return VI_ERROR_IO;
  }
}

// ---- name resolution with a bound --------------------------------------------

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const {
    if (list) ::freeaddrinfo(list);
  }
};
using AddrList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

addrinfo streamHints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  return hints;
}

// The resolver's own wait (DNS retries) is not ours to bound, so a name is
// looked up on a helper thread and abandoned at the deadline; the thread
// then finishes on its own and frees what it found.
struct PendingLookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int result = EAI_FAIL;
  AddrList list;
};

void startLookup(const std::shared_ptr<PendingLookup>& lookup, const std::string& host,
                 const std::string& port) {
  std::thread([lookup, host, port] {
    addrinfo hints = streamHints(AI_NUMERICSERV | AI_ADDRCONFIG);
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    std::lock_guard lock(lookup->mutex);
    lookup->result = rc;
    lookup->list.reset(rc == 0 ? list : nullptr);
    lookup->finished = true;
    lookup->done.notify_all();
  }).detach();
}

AddrList resolve(const std::string& host, const std::string& port,
                 const Deadline& deadline) {
  addrinfo* found = nullptr;
  addrinfo numeric = streamHints(AI_NUMERICHOST | AI_NUMERICSERV);
  if (::getaddrinfo(host.c_str(), port.c_str(), &numeric, &found) == 0) {
    return AddrList(found);
  }
  auto lookup = std::make_shared<PendingLookup>();
  try {
    startLookup(lookup, host, port);
  } catch (const std::system_error&) {
    return nullptr;  // no thread to spare: the resource cannot be found now
  }
  std::unique_lock lock(lookup->mutex);
  auto finished = [&] { return lookup->finished; };
  if (deadline.infinite()) {
    lookup->done.wait(lock, finished);
  } else {
    lookup->done.wait_for(lock, std::chrono::milliseconds(deadline.pollMs()), finished);
  }
  if (!lookup->finished || lookup->result != 0) return nullptr;
  return std::move(lookup->list);
}

// One non-blocking connect to one address.
ViStatus connectOne(const addrinfo& a, const Deadline& deadline, FileDescriptor* out) {
  FileDescriptor fd(::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                             a.ai_protocol));
  if (!fd.valid()) return VI_ERROR_RSRC_NFOUND;
  if (::connect(fd.get(), a.ai_addr, a.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return VI_ERROR_RSRC_NFOUND;
    if (waitFor(fd.get(), POLLOUT, deadline) != VI_SUCCESS) return VI_ERROR_RSRC_NFOUND;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      return VI_ERROR_RSRC_NFOUND;
    }
  }
  // SCPI exchanges are short request/response pairs: Nagle's delay would
  // hold back every small command.
  int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  *out = std::move(fd);
  return VI_SUCCESS;
}

}  // namespace

ViStatus connectWithTimeout(const std::string& host, std::uint16_t port,
                            ViUInt32 timeoutMs, FileDescriptor* out) {
  Deadline deadline = Deadline::after(timeoutMs);
  AddrList list = resolve(host, std::to_string(port), deadline);
  for (const addrinfo* a = list.get(); a; a = a->ai_next) {
    if (connectOne(*a, deadline, out) == VI_SUCCESS) return VI_SUCCESS;
    if (deadline.passed()) break;
  }
  return VI_ERROR_RSRC_NFOUND;
}

ViStatus sendAll(int fd, const ConstBuffer* parts, std::size_t count,
                 const Deadline& deadline, std::size_t* sent) {
  std::vector<iovec> iov;
  iov.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (parts[i].size) iov.push_back({const_cast<unsigned char*>(parts[i].data), parts[i].size});
  }
  *sent = 0;
  std::size_t first = 0;
  while (first < iov.size()) {
    msghdr msg{};
    msg.msg_iov = &iov[first];
    msg.msg_iovlen = std::min<std::size_t>(iov.size() - first, IOV_MAX);
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return statusForErrno(errno);
      if (ViStatus st = waitFor(fd, POLLOUT, deadline); st != VI_SUCCESS) return st;
      continue;
    }
    *sent += static_cast<std::size_t>(n);
    for (auto left = static_cast<std::size_t>(n); left > 0;) {
      std::size_t step = std::min(left, iov[first].iov_len);
      iov[first].iov_base = static_cast<unsigned char*>(iov[first].iov_base) + step;
      iov[first].iov_len -= step;
      left -= step;
      if (iov[first].iov_len == 0) ++first;
    }
  }
  return VI_SUCCESS;
}

ViStatus recvSome(int fd, void* data, std::size_t capacity,
                  const Deadline& deadline, std::size_t* got) {
  *got = 0;
  if (capacity == 0) return VI_SUCCESS;
  for (;;) {
    ssize_t n = ::recv(fd, data, capacity, MSG_DONTWAIT);
    if (n > 0) {
      *got = static_cast<std::size_t>(n);
      return VI_SUCCESS;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return statusForErrno(errno);
    if (ViStatus st = waitFor(fd, POLLIN, deadline); st != VI_SUCCESS) return st;
  }
}

ViStatus discardWaitingInput(int fd, const Deadline& deadline) {
  unsigned char scratch[4096];
  for (;;) {
    ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0) {
      if (deadline.passed()) return VI_ERROR_TMO;
      continue;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return VI_SUCCESS;
    return statusForErrno(errno);
  }
}

}  // namespace benchfw::visa
