// The instrument's raw SCPI socket (the usual port 5025): each connection
// is one Session; program messages end with a line feed, responses are sent
// as soon as they are ready.
//
// One acceptor thread owns the listening socket and every connection's file
// descriptor; one thread per connection moves bytes. The port is bound
// once, when the server is made, and stays reserved for the whole run: while
// the instrument is down the socket is bound but not listening, so a client
// is refused at once, and nobody else can take the port meanwhile.
#ifndef BENCHFW_SIM_RAW_SOCKET_SERVER_H
#define BENCHFW_SIM_RAW_SOCKET_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/served_connection.h"
#include "sim/instrument.h"

namespace benchfw::sim {

class RawSocketServer : public InstrumentListener {
 public:
  explicit RawSocketServer(Instrument& instrument);
  ~RawSocketServer() override;
  RawSocketServer(const RawSocketServer&) = delete;
  RawSocketServer& operator=(const RawSocketServer&) = delete;

  // Binds `address` (IPv4 or IPv6 literal) and `port` (0: a free one).
  bool bind(const std::string& address, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return port_; }
  // "127.0.0.1:5025" or "[::1]:5025".
  std::string endpoint() const;

  // Called on the acceptor thread each time the socket starts listening.
  void onListening(std::function<void()> callback) { onListening_ = std::move(callback); }

  // Starts the acceptor thread; stop() closes every connection and the
  // socket and joins every thread (idempotent).
  void start();
  void stop();

  void instrumentDown() override;
  void instrumentUp() override;

 private:
  struct Connection;

  void acceptLoop();
  void followInstrument();
  void acceptOne();
  bool rebind();
  void wake();

  Instrument& instrument_;
  std::string address_;
  std::uint16_t port_ = 0;
  int family_ = 0;
  int listenFd_ = -1;
  bool listening_ = false;
  // The instrument generation whose connections the acceptor serves;
  // instrumentDown() waits until the acceptor has caught up with a restart.
  std::mutex servedMutex_;
  std::condition_variable servedChanged_;
  std::uint64_t servedGeneration_ = 0;
  bool servedUp_ = false;
  Wakeup wakeup_;
  std::atomic<bool> stopping_{false};
  std::function<void()> onListening_;
  std::list<std::unique_ptr<Connection>> connections_;
  unsigned nextClient_ = 1;
  std::thread acceptor_;
};

}  // namespace benchfw::sim

#endif
