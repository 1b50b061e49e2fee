// Loopback peers for the transfer benchmark: they read a whole download
// message, discard it and answer the "*OPC?" that ends it with "1\n", as
// fast as the kernel lets them, so that only the sender's path is measured.
#ifndef BENCHFW_BENCH_TRANSFER_PEERS_H
#define BENCHFW_BENCH_TRANSFER_PEERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace benchfw::bench {

// A listening TCP socket on 127.0.0.1 with a free port; exits on failure.
int listenOnLoopback(std::uint16_t* port);

// Raw TCP: counts bytes; after each `messageBytes` it answers "1\n".
class SocketDiscardPeer {
 public:
  explicit SocketDiscardPeer(std::size_t messageBytes);
  ~SocketDiscardPeer();
  std::uint16_t port() const { return port_; }

 private:
  void serve();
  std::size_t messageBytes_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// VXI-11: a portmapper and core channel that accept device_write chunks of
// up to `maxRecvSize` bytes and answer the device_read after each message.
class Vxi11DiscardPeer {
 public:
  Vxi11DiscardPeer(std::size_t messageBytes, std::uint32_t maxRecvSize);
  ~Vxi11DiscardPeer();
  std::string resource() const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace benchfw::bench

#endif
