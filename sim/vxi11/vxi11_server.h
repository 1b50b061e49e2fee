// The instrument's VXI-11 service: a portmapper (TCP and UDP, usually port
// 111) that points at the core channel, and the core channel itself (TCP,
// an ephemeral port unless one is asked for).
//
// Like the raw socket, it follows the instrument: while the instrument is
// down every TCP port is bound but not listening (refused at once), UDP
// queries go unanswered, and every connection of the earlier life is
// dropped. One acceptor thread owns the sockets; one thread per connection
// answers its calls in order.
#ifndef BENCHFW_SIM_VXI11_SERVER_H
#define BENCHFW_SIM_VXI11_SERVER_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "sim/served_connection.h"
#include "sim/instrument.h"
#include "sim/vxi11/vxi11_calls.h"
#include "sim/vxi11/vxi11_options.h"

namespace benchfw::sim {

class Vxi11Server : public InstrumentListener {
 public:
  Vxi11Server(Instrument& instrument, const Vxi11Options& options);
  ~Vxi11Server() override;
  Vxi11Server(const Vxi11Server&) = delete;
  Vxi11Server& operator=(const Vxi11Server&) = delete;

  // Binds the portmapper and core ports on `address` (IPv4 or IPv6 literal).
  bool bind(const std::string& address, std::string* error);
  std::uint16_t portmapperPort() const { return portmap_.port; }
  std::uint16_t corePort() const { return core_.port; }

  void start();
  void stop();  // drops every connection, joins every thread (idempotent)

  void instrumentDown() override;
  void instrumentUp() override;

 private:
  struct Connection;
  struct Endpoint {
    int fd = -1;
    std::uint16_t port = 0;
    bool listening = false;
  };

  bool bindTcp(Endpoint& endpoint);
  bool bindUdp();
  void acceptLoop();
  void followInstrument();
  void acceptOne(Endpoint& endpoint, const char* kind);
  void answerDatagram();
  void serve(Connection& connection);
  void awaitDropRequest(const Connection& connection);
  void wake();

  Instrument& instrument_;
  Vxi11Shared shared_;
  std::string address_;
  Endpoint portmap_;
  Endpoint core_;
  int udpFd_ = -1;
  Wakeup wakeup_;
  std::uint64_t servedGeneration_ = 0;
  std::atomic<bool> stopping_{false};
  std::list<std::unique_ptr<Connection>> connections_;
  unsigned nextClient_ = 1;
  std::thread acceptor_;
};

}  // namespace benchfw::sim

#endif
