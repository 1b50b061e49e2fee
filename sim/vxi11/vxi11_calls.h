// The RPC side of the simulator's VXI-11 service: one Vxi11Calls per TCP
// connection turns each call record into its reply. It serves the
// portmapper (NULL, GETPORT) and the VXI-11 core channel, whichever port
// the call came in on.
//
// Every link has its own Session on the shared Instrument, so a VXI-11
// client and a raw-socket client talk to the same instrument with separate
// input and output queues, as on a real instrument's two interfaces. The
// device lock lives in the Instrument and so holds across connections.
#ifndef BENCHFW_SIM_VXI11_CALLS_H
#define BENCHFW_SIM_VXI11_CALLS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "rpc/message.h"
#include "rpc/outgoing.h"
#include "rpc/vxi11_wire.h"
#include "sim/instrument.h"
#include "sim/session.h"

namespace benchfw::sim {

// What every connection of the service shares.
struct Vxi11Shared {
  Instrument& instrument;
  // What create_link advertises, and the largest device_write accepted.
  std::uint32_t maxRecvSize = 1u << 20;
  // The core channel's TCP port, for GETPORT.
  std::atomic<std::uint16_t> corePort{0};
  std::atomic<std::int32_t> nextLid{1};
};

// A reply to send: the head (record mark, reply header, fixed results),
// then `bulk` and its pad.
struct Vxi11Reply {
  rpc::OutgoingRecord head;
  std::span<const std::uint8_t> bulk;
  bool send = true;        // false: drop the connection without answering
  bool dropAfter = false;  // close the connection once the reply is out
};

class Vxi11Calls {
 public:
  // `abandon` turns true when the connection must go (restart, stop): the
  // long waits below (a response, a lock) give up within a few ms then.
  Vxi11Calls(Vxi11Shared& shared, std::string connectionName, const std::atomic<bool>& abandon);
  ~Vxi11Calls();  // frees this connection's links and their locks
  Vxi11Calls(const Vxi11Calls&) = delete;
  Vxi11Calls& operator=(const Vxi11Calls&) = delete;

  // Answers one call record (the reply's bulk may point into this object,
  // valid until the next call).
  void handle(std::span<const std::uint8_t> record, Vxi11Reply* reply);

 private:
  struct Link {
    std::int32_t lid = 0;
    std::uint64_t generation = 0;  // the instrument's life the link was made in
    std::unique_ptr<Session> session;
  };

  void portmap(const rpc::CallHeader& call, rpc::XdrReader& in, Vxi11Reply* reply);
  void core(const rpc::CallHeader& call, rpc::XdrReader& in, Vxi11Reply* reply);
  // Each returns false when the arguments do not decode (GARBAGE_ARGS).
  bool createLink(rpc::XdrReader& in, rpc::XdrWriter& out);
  bool deviceWrite(rpc::XdrReader& in, Vxi11Reply* reply);
  bool deviceRead(rpc::XdrReader& in, Vxi11Reply* reply);
  bool generic(std::uint32_t procedure, rpc::XdrReader& in, Vxi11Reply* reply);
  bool deviceLock(rpc::XdrReader& in, rpc::XdrWriter& out);
  bool linkOnly(std::uint32_t procedure, rpc::XdrReader& in, rpc::XdrWriter& out);

  Link* find(std::int32_t lid);
  // 0, or 11 when another link holds the lock and it did not come free
  // within lock_timeout (only waited for with the waitlock flag).
  std::int32_t lockCheck(Link& link, std::int32_t flags, std::uint32_t lockTimeoutMs);
  // Takes the device lock for `link`, waiting up to `waitMs` in short
  // slices; `keep` false gives it back at once (a wait for it to be free).
  bool takeLock(Link& link, std::uint32_t waitMs, bool keep);
  // Waits in short slices until the link's session has a response ready,
  // has died, or `deadline` has passed. False when the connection must go.
  bool awaitResponse(Link& link, std::chrono::steady_clock::time_point deadline);
  // Reads for device_read into buffer_; returns the VXI-11 error, and
  // *dead when the session died (the connection must go).
  std::int32_t readResponse(Link& link, const rpc::vxi11::ReadParms& parms,
                            std::size_t* got, std::int32_t* reason, bool* dead);
  void releaseLink(Link& link);
  void logLine(std::int32_t lid, const std::string& text);

  Vxi11Shared& shared_;
  Instrument& instrument_;
  const std::string name_;
  const std::atomic<bool>& abandon_;
  std::map<std::int32_t, std::unique_ptr<Link>> links_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace benchfw::sim

#endif
