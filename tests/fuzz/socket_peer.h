// The far end of a socketpair that plays the instrument for one fuzz input:
// everything the instrument will ever say is written up front, so a read
// never waits on a scheduler and every run of an input is the same run.
// And viScanf for a session made on the near end.
#ifndef BENCHFW_TESTS_FUZZ_SOCKET_PEER_H
#define BENCHFW_TESTS_FUZZ_SOCKET_PEER_H

#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "formatted_io.h"
#include "session.h"
#include "socket_io.h"

namespace benchfw::fuzz {

class SocketPeer {
 public:
  SocketPeer() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    client_ = fds[0];
    peer_ = fds[1];
  }
  ~SocketPeer() {
    if (client_ >= 0) ::close(client_);
    ::close(peer_);
  }
  SocketPeer(const SocketPeer&) = delete;
  SocketPeer& operator=(const SocketPeer&) = delete;

  // Queues as much of `data` as the socket holds without blocking and
  // returns how much that was: that prefix is the whole conversation.
  std::size_t say(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::send(peer_, data + done, size - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }
  // The instrument hangs up after what it said: reads end instead of
  // waiting for their timeout.
  void hangUp() { ::shutdown(peer_, SHUT_WR); }

  // The client's end, handed to the transport under test.
  visa::FileDescriptor takeClient() {
    const int fd = client_;
    client_ = -1;
    return visa::FileDescriptor(fd);
  }

 private:
  int client_ = -1;
  int peer_ = -1;
};

// viScanf on a session the harness holds itself.
inline ViStatus scan(visa::Session& session, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const ViStatus status = visa::formattedRead(session, format, args);
  va_end(args);
  return status;
}

}  // namespace benchfw::fuzz

#endif
