// One client's conversation with the Instrument, whatever carries it.
//
// A transport makes one Session per client connection (raw socket) or link
// (VXI-11), feeds it the bytes it receives with deliver(), and hands the
// responses back to the client. The Session parses IEEE 488.2 program
// messages as they stream in -- units separated by ";", headers in any case,
// definite-length blocks "#<n><digits><bytes>" read by count so that line
// feeds and NULs inside are data -- runs each unit on the Instrument, and
// keeps this client's output queue.
//
// A program message ends with a line feed outside a block or string, or with
// END (the `end` flag of deliver(), a VXI-11 device_write flag) on its last
// byte; IEEE 488.2 accepts either. A raw socket has no END, so there the line
// feed alone ends messages.
//
// Threading: safe to call from several threads (e.g. a VXI-11 server that
// answers device_readstb while a device_read waits). Every wait is bounded.
#ifndef BENCHFW_SIM_SESSION_H
#define BENCHFW_SIM_SESSION_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/instrument.h"
#include "sim/program_parser.h"

namespace benchfw::sim {

// How the transport takes responses off the session.
enum class ResponseMode {
  // The transport sends every response as soon as it is ready (raw socket):
  // a ready response counts as read at once.
  pushed,
  // The client asks for responses (VXI-11 device_read): a response stays
  // queued until read; a new message discards an unread one with -410
  // "Query INTERRUPTED", and a read with nothing asked gives -420.
  polled,
};

class Session : private ProgramParser::Handler {
 public:
  // `client` names the connection in the dialogue log, e.g. "raw#3".
  Session(Instrument& instrument, std::string client, ResponseMode mode);
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& client() const { return client_; }

  // False once the instrument has gone down (or a fault dropped this
  // session) since the session was made: the transport must close the
  // connection and not use the session again.
  bool alive() const;

  // True once a reset fault has dropped this session: the transport then
  // aborts the connection (TCP RST) instead of closing it in order.
  bool resetRequested() const;

  // Feeds received bytes. `end`: the END indicator came with the last byte.
  // Complete units are executed before it returns. Returns alive(): false
  // when the connection must be dropped now (a restart command, a restart
  // by another client, or the drop-download fault). After a restart it
  // returns only once the listeners have refused new connections (bounded).
  bool deliver(const std::uint8_t* data, std::size_t size, bool end);

  struct ReadResult {
    enum class Status {
      ok,       // `size` bytes copied; `end` when they finish the response
      timeout,  // nothing ready within the bound
      dead,     // the session is dead (see alive())
    };
    Status status = Status::timeout;
    std::size_t size = 0;
    bool end = false;
  };

  // ResponseMode::polled: waits up to `bound` for a response, copies at most
  // `capacity` bytes of it (the rest stays for the next read) and tells
  // whether the copy reached its end (the terminating line feed included).
  // A read that times out while no query is outstanding queues -420.
  ReadResult readResponse(std::uint8_t* out, std::size_t capacity,
                          std::chrono::milliseconds bound);

  // ResponseMode::pushed: appends every response byte that is ready now to
  // `out`, without waiting. Returns whether anything was appended.
  bool takeReadyOutput(std::string& out);

  // The status byte for *STB? and serial polls: the instrument's summary
  // bits plus MAV (bit 4, 16) while a ready response waits in this
  // session's output queue.
  std::uint8_t statusByte() const;

  // Device clear: forgets the partial input message and this session's
  // output queue and cancels a pending response; the error queue stays.
  void deviceClear();

 private:
  struct Response {
    std::string bytes;  // with its terminating line feed
    std::chrono::steady_clock::time_point readyAt;
    bool neverReady = false;
    std::size_t taken = 0;  // bytes already read by the client
  };

  // ProgramParser::Handler: units are collected and run when their message
  // has ended, so that the log shows the message before what it caused.
  void unitParsed(ProgramUnit& unit) override;
  void messageEnded(const std::string& shown, bool complete) override;
  std::optional<std::uint64_t> blockStarting(std::string_view header) override;

  bool deliverLocked(const std::uint8_t* data, std::size_t size, bool end);
  bool aliveLocked() const;
  void resetLocked(const std::string& why);
  void runUnitLocked(const ProgramUnit& unit);
  void messageStartingLocked();
  bool frontReadyLocked(std::chrono::steady_clock::time_point now) const;
  std::uint8_t statusByteLocked() const;

  Instrument& instrument_;
  const std::string client_;
  const ResponseMode mode_;
  const std::uint64_t generation_;

  mutable std::mutex mutex_;
  std::condition_variable responded_;
  ProgramParser parser_;
  bool dropped_ = false;
  bool reset_ = false;
  std::uint64_t received_ = 0;  // bytes delivered, for Faults::resetAfterBytes
  std::vector<ProgramUnit> units_;  // of the message being received
  std::deque<Response> output_;
};

}  // namespace benchfw::sim

#endif
