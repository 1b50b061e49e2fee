// Raw SCPI over a TCP socket (the instrument's "SOCKET" port, often 5025).
//
// A socket carries bytes and nothing else: there is no END indicator, no
// serial poll and no device clear on the wire. Messages are therefore
// framed by the termination character (line feed by default): a reply ends
// at the first one. The status byte is asked for with "*STB?" as a 488.2
// string exchange, and a clear only throws away input that has already
// arrived.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "socket_io.h"
#include "transport.h"

namespace benchfw::visa {
namespace {

// How long a TCP connect may take, whatever the open timeout (which bounds
// only the wait for a lock within this process). Long enough for a LAN
// round trip and a retransmitted SYN, short enough for the updater's retry
// loop while an instrument restarts.
constexpr ViUInt32 kConnectBoundMs = 3000;

// Bytes taken from the kernel per recv(); replies are short, downloads go
// the other way.
constexpr std::size_t kReceiveChunk = 16 * 1024;

// Longest "*STB?" reply line we accept ("+255\r\n" and some spaces).
constexpr std::size_t kMaxStbReply = 32;

// "<digits>\n", optionally signed with '+' and padded with blanks or a CR.
bool parseStatusByteReply(std::string_view line, ViUInt16* stb) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  while (!line.empty() && blank(line.back())) line.remove_suffix(1);
  if (!line.empty() && line.front() == '+') line.remove_prefix(1);
  if (line.empty() || line.size() > 3) return false;
  unsigned value = 0;
  for (char c : line) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return false;
  *stb = static_cast<ViUInt16>(value);
  return true;
}

class SocketTransport final : public Transport {
 public:
  explicit SocketTransport(FileDescriptor fd) : fd_(std::move(fd)) {}

  ViStatus write(const ConstBuffer* parts, std::size_t count, bool /*end: no wire form*/,
                 ViUInt32 timeoutMs, std::size_t* sent) override {
    return sendAll(fd_.get(), parts, count, Deadline::after(timeoutMs), sent);
  }

  ViStatus read(unsigned char* data, std::size_t capacity, std::size_t* got, bool* end,
                ViUInt32 timeoutMs) override {
    return readUntilTerminator(data, capacity, got, end, Deadline::after(timeoutMs));
  }

  ViStatus readStb(ViUInt16* stb, ViUInt32 timeoutMs) override {
    if (protocol_ != VI_PROT_4882_STRS) return VI_ERROR_NSUP_OPER;
    Deadline deadline = Deadline::after(timeoutMs);
    static constexpr unsigned char kQuery[] = {'*', 'S', 'T', 'B', '?', '\n'};
    const ConstBuffer query{kQuery, sizeof kQuery};
    std::size_t sent = 0;
    if (ViStatus st = sendAll(fd_.get(), &query, 1, deadline, &sent); st != VI_SUCCESS) return st;

    // Read the whole reply line even when it is too long, so that the
    // next exchange starts at the next message.
    unsigned char reply[kMaxStbReply];
    std::size_t length = 0;
    bool tooLong = false;
    for (bool end = false; !end;) {
      // A reply line that keeps coming ends with the timeout (see
      // Session::fillReadBuffer).
      if ((length > 0 || tooLong) && deadline.passed()) return VI_ERROR_TMO;
      std::size_t n = 0;
      unsigned char* into = tooLong ? reply : reply + length;
      std::size_t room = tooLong ? sizeof reply : sizeof reply - length;
      if (ViStatus st = readUntilTerminator(into, room, &n, &end, deadline); st != VI_SUCCESS) {
        return st;
      }
      if (!tooLong) length += n;
      tooLong = tooLong || (length == sizeof reply && !end);
    }
    if (tooLong) return VI_ERROR_IO;
    bool ok = parseStatusByteReply({reinterpret_cast<const char*>(reply), length}, stb);
    return ok ? VI_SUCCESS : VI_ERROR_IO;
  }

  ViStatus clear(ViUInt32 timeoutMs) override {
    received_.clear();
    receivedPos_ = 0;
    return discardWaitingInput(fd_.get(), Deadline::after(timeoutMs));
  }

  ViStatus setAttribute(ViAttr attr, ViAttrState value) override {
    switch (attr) {
      case VI_ATTR_IO_PROT:
        if (value != VI_PROT_NORMAL && value != VI_PROT_4882_STRS) return VI_ERROR_NSUP_ATTR_STATE;
        protocol_ = static_cast<ViUInt16>(value);
        return VI_SUCCESS;
      case VI_ATTR_TERMCHAR:
        terminator_ = static_cast<unsigned char>(value);
        return VI_SUCCESS;
      case VI_ATTR_TCPIP_NODELAY:
        return setFlag(IPPROTO_TCP, TCP_NODELAY, value);
      case VI_ATTR_TCPIP_KEEPALIVE:
        return setFlag(SOL_SOCKET, SO_KEEPALIVE, value);
      default:
        return VI_ERROR_NSUP_ATTR;
    }
  }

  ViStatus getAttribute(ViAttr attr, void* out) override {
    switch (attr) {
      case VI_ATTR_IO_PROT:
        std::memcpy(out, &protocol_, sizeof protocol_);
        return VI_SUCCESS;
      case VI_ATTR_TCPIP_NODELAY:
        return getFlag(IPPROTO_TCP, TCP_NODELAY, out);
      case VI_ATTR_TCPIP_KEEPALIVE:
        return getFlag(SOL_SOCKET, SO_KEEPALIVE, out);
      default:
        return VI_ERROR_NSUP_ATTR;
    }
  }

  ViStatus close() override {
    fd_.reset();
    return VI_SUCCESS;
  }

 private:
  // Hands out buffered input up to and including the terminator; takes
  // more from the socket only when nothing is buffered.
  ViStatus readUntilTerminator(unsigned char* data, std::size_t capacity, std::size_t* got,
                               bool* end, const Deadline& deadline) {
    *got = 0;
    *end = false;
    if (capacity == 0) return VI_SUCCESS;
    if (receivedPos_ == received_.size()) {
      received_.resize(kReceiveChunk);
      receivedPos_ = 0;
      std::size_t n = 0;
      ViStatus st = recvSome(fd_.get(), received_.data(), received_.size(), deadline, &n);
      received_.resize(st == VI_SUCCESS ? n : 0);
      if (st != VI_SUCCESS) return st;
    }
    auto first = received_.begin() + static_cast<std::ptrdiff_t>(receivedPos_);
    auto limit = first + static_cast<std::ptrdiff_t>(
                             std::min(capacity, received_.size() - receivedPos_));
    auto terminator = std::find(first, limit, terminator_);
    *end = terminator != limit;
    auto stop = *end ? terminator + 1 : limit;
    *got = static_cast<std::size_t>(stop - first);
    std::copy(first, stop, data);
    receivedPos_ += *got;
    return VI_SUCCESS;
  }

  ViStatus setFlag(int level, int option, ViAttrState value) {
    if (value != VI_TRUE && value != VI_FALSE) return VI_ERROR_NSUP_ATTR_STATE;
    int on = value == VI_TRUE;
    return ::setsockopt(fd_.get(), level, option, &on, sizeof on) == 0 ? VI_SUCCESS : VI_ERROR_IO;
  }

  ViStatus getFlag(int level, int option, void* out) {
    int on = 0;
    socklen_t len = sizeof on;
    if (::getsockopt(fd_.get(), level, option, &on, &len) != 0) return VI_ERROR_IO;
    ViBoolean flag = on ? VI_TRUE : VI_FALSE;
    std::memcpy(out, &flag, sizeof flag);
    return VI_SUCCESS;
  }

  FileDescriptor fd_;
  std::vector<unsigned char> received_;
  std::size_t receivedPos_ = 0;
  unsigned char terminator_ = '\n';
  // "*STB?" stands in for the serial poll a socket lacks, so that a caller
  // polling the status byte until the instrument answers works here too.
  ViUInt16 protocol_ = VI_PROT_4882_STRS;
};

}  // namespace

ViStatus openSocketTransport(const ResourceName& name, ViUInt32 /*openTimeoutMs*/,
                             std::unique_ptr<Transport>* out) {
  FileDescriptor fd;
  ViStatus st = connectWithTimeout(name.host, name.port, kConnectBoundMs, &fd);
  if (st != VI_SUCCESS) return st;
  *out = adoptSocketTransport(std::move(fd));
  return VI_SUCCESS;
}

std::unique_ptr<Transport> adoptSocketTransport(FileDescriptor fd) {
  return std::make_unique<SocketTransport>(std::move(fd));
}

}  // namespace benchfw::visa
