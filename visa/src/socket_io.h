// Deadline-bounded TCP helpers shared by every protocol that runs over a
// stream socket (raw SCPI sockets, and the RPC connections of VXI-11).
//
// Every helper waits with poll() against a Deadline, resumes after EINTR,
// never raises SIGPIPE, and maps the socket's errors onto VISA statuses:
//   VI_ERROR_TMO        the deadline passed first
//   VI_ERROR_CONN_LOST  the peer closed or reset the connection
//   VI_ERROR_IO         any other socket failure
#ifndef BENCHFW_VISA_SOCKET_IO_H
#define BENCHFW_VISA_SOCKET_IO_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "transport.h"
#include "visa.h"

namespace benchfw::visa {

// Owns one file descriptor and closes it when it goes out of scope, so no
// early return can leak it.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A point in time after which a wait gives up; VI_TMO_INFINITE never
// passes, VI_TMO_IMMEDIATE has already passed (the operation may still use
// what is ready without waiting).
class Deadline {
 public:
  static Deadline after(ViUInt32 timeoutMs);
  bool infinite() const { return infinite_; }
  // Made with VI_TMO_IMMEDIATE: take what is there, wait for nothing.
  bool immediate() const { return immediate_; }
  bool passed() const;
  // Milliseconds for poll(): -1 without bound, otherwise the time left,
  // rounded up so that a wait never ends before the deadline.
  int pollMs() const;
  // The time left as a VISA timeout, for handing on to a nested call.
  ViUInt32 remainingMs() const;

 private:
  using Clock = std::chrono::steady_clock;
  bool infinite_ = true;
  bool immediate_ = false;
  Clock::time_point at_{};
};

// Resolves `host` (IPv4/IPv6 literal or name) and connects to `port` with a
// non-blocking connect, trying each address until one answers, all within
// `timeoutMs`. The socket comes back non-blocking, close-on-exec, with
// TCP_NODELAY set. Any failure: VI_ERROR_RSRC_NFOUND.
ViStatus connectWithTimeout(const std::string& host, std::uint16_t port,
                            ViUInt32 timeoutMs, FileDescriptor* out);

// Sends every byte of the pieces, in order, with as few sendmsg() calls as
// the kernel allows (no copying). *sent counts the bytes the kernel took,
// also on failure.
ViStatus sendAll(int fd, const ConstBuffer* parts, std::size_t count,
                 const Deadline& deadline, std::size_t* sent);

// Receives between 1 and `capacity` bytes, waiting until some arrive.
ViStatus recvSome(int fd, void* data, std::size_t capacity,
                  const Deadline& deadline, std::size_t* got);

// Throws away whatever input is already waiting on the socket without
// waiting for more; stops at the deadline if the peer keeps sending.
ViStatus discardWaitingInput(int fd, const Deadline& deadline);

}  // namespace benchfw::visa

#endif
