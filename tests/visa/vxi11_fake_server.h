// A scripted ONC RPC server on loopback for the VXI-11 client tests: the
// test decides, call by call, which bytes go back -- a well-formed reply, a
// reply in several fragments, a stale or wrong transaction id, nothing at
// all, or a closed connection. One connection at a time, served on its own
// thread; every wait is bounded by short poll ticks and the stop flag.
#ifndef BENCHFW_TESTS_VXI11_FAKE_SERVER_H
#define BENCHFW_TESTS_VXI11_FAKE_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "rpc/message.h"
#include "rpc/xdr.h"
#include "xdr_bytes.h"

namespace benchfw::fake {

struct RpcCall {
  rpc::CallHeader header;
  Bytes args;  // everything after the call header
};

// One reply record's bytes: record mark(s), accepted header, results.
// `fragments` splits the record body into fragments of those sizes (the
// rest goes in a last one); empty: a single fragment.
Bytes acceptedReply(std::uint32_t xid, rpc::AcceptStat stat, const Bytes& results,
                    const std::vector<std::size_t>& fragments = {});

class RpcConnection {
 public:
  explicit RpcConnection(int fd) : fd_(fd) {}
  // Sends bytes as they are, in segments of `segment` bytes with a pause
  // between them so the client sees them in separate reads.
  void send(const Bytes& bytes, std::size_t segment = 0);
  void close();

 private:
  int fd_;
};

class FakeRpcServer {
 public:
  // Called for every complete call record, on the server's thread.
  using Handler = std::function<void(const RpcCall&, RpcConnection&)>;

  // Listens on 127.0.0.1:port (0: a free port).
  FakeRpcServer(std::uint16_t port, Handler handler);
  ~FakeRpcServer();
  FakeRpcServer(const FakeRpcServer&) = delete;
  FakeRpcServer& operator=(const FakeRpcServer&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void run();
  void serve(int fd);

  Handler handler_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace benchfw::fake

#endif
