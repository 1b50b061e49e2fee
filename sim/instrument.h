// The simulated bench instrument, independent of how clients reach it.
//
// One Instrument is shared by every transport (raw SCPI socket, VXI-11):
// it holds what a real instrument holds once, whoever talks to it -- the
// running application, the stored firmware images, the SCPI error queue,
// the device lock, and whether the instrument is up at all. Each client
// connection talks to it through its own Session (session.h), which holds
// what a real instrument keeps per interface: the input being parsed and the
// output queue.
//
// Threading: every public member is safe to call from any thread. Commands
// run one at a time under the instrument's mutex, as on a real instrument
// with one command processor. Listeners are called from the instrument's own
// timer thread, never while that mutex is held, so a listener may call back
// into the Instrument.
//
// Restart: a restart command takes the instrument down at once (the
// generation number goes up, so every Session made before it is dead and its
// transport must drop the connection), notifies listeners with
// instrumentDown(), waits the configured restart time, switches to the
// application that was asked for (unless a fault says otherwise) and
// notifies listeners with instrumentUp(). A transport keeps its port
// refused while the instrument is down.
#ifndef BENCHFW_SIM_INSTRUMENT_H
#define BENCHFW_SIM_INSTRUMENT_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/dialogue_log.h"

namespace benchfw::sim {

enum class App { main, sub };

// "main" or "sub".
const char* appName(App app);

// One entry of the SCPI error queue: code and text, shown on the wire as
// <code>,"<text>" with an explicit sign on the code ("+0", "-113").
struct ErrorEntry {
  int code = 0;
  std::string text;
  std::string toReply() const;
  bool operator==(const ErrorEntry&) const = default;
};

// The commands this instrument knows; queries and commands are distinct.
enum class CommandId {
  cls,          // *CLS
  rst,          // *RST (nothing to reset beyond what *CLS clears)
  wai,          // *WAI (every command completes before the next one)
  idnQuery,     // *IDN?
  stbQuery,     // *STB?
  opcQuery,     // *OPC?
  errorQuery,   // :SYSTem:ERRor[:NEXT]?
  mainQuery,    // :DIAGnostic:HARDware:HOST:FIRMware:MAIN?
  updateMain,   // :DIAGnostic:HARDware:HOST:FIRMware:UPDate:MAIN <block>
  updateSub,    // :DIAGnostic:HARDware:HOST:FIRMware:UPDate:SUB <block>
  rebootMain,   // :DIAGnostic:HARDware:HOST:REBoot:MAIN
  rebootSub,    // :DIAGnostic:HARDware:HOST:REBoot:SUB
};

// Misbehaviour on demand, so that a user can rehearse an update's failures
// and the end-to-end tests can provoke each of them. All are off by default.
struct Faults {
  // The n-th error query of the whole run (counted from 1, across restarts
  // and connections) answers with this entry instead of the queue's head.
  std::map<std::uint64_t, ErrorEntry> errorAt;
  // Replaces the response to a query, every time it is asked. The text is
  // the response without its terminating line feed, which is always added.
  std::map<CommandId, std::string> replies;
  // A restart into this application is ignored: the instrument goes down
  // and comes back running the application it ran before.
  bool ignoreRestartIntoMain = false;
  bool ignoreRestartIntoSub = false;
  // Drops the connection once this many bytes of a download's block have
  // arrived, for the first download (of `dropApp`, or of either when unset).
  std::optional<std::uint64_t> dropDownloadAfter;
  std::optional<App> dropApp;
  // *OPC? answers after this delay; opcNever: it never answers.
  std::chrono::milliseconds opcDelay{0};
  bool opcNever = false;
  // The instrument is down (port refused) for this long after start().
  std::chrono::milliseconds deafAtStart{0};
  // Resets the connection (no orderly close) right after the n-th unit with
  // this header, counted from 1 over the whole run, has run: its response is
  // never sent. A restart command still restarts.
  std::map<CommandId, std::uint64_t> resetAfter;
  // Resets the first connection that has received this many bytes; nothing
  // beyond them is parsed.
  std::optional<std::uint64_t> resetAfterBytes;
  // Responses to these queries go out without their line feed, so the
  // client waits for an end that never comes.
  std::set<CommandId> unterminated;
};

struct InstrumentConfig {
  App startApp = App::main;
  std::string maker = "BENCHLAB";
  std::string model = "BL-7000";
  std::string serial = "SN000123";
  // Firmware versions before any download (major << 16 | minor << 8 | patch,
  // as in the image header); a stored placeholder image brings its own.
  std::uint32_t mainVersion = 0x020500;
  std::uint32_t subVersion = 0x010301;
  // Store any bytes as an image instead of checking the placeholder header.
  bool acceptAnyImage = false;
  std::chrono::milliseconds restartTime{3000};
  std::size_t errorQueueDepth = 30;
  // Where each accepted image is written as main.bin / sub.bin; empty: not.
  std::string saveImagesDir;
  Faults faults;
};

// Told when the instrument goes down and comes back, e.g. to close and
// reopen a listening socket. Called from the instrument's timer thread.
class InstrumentListener {
 public:
  virtual ~InstrumentListener() = default;
  // The instrument has gone down: drop every connection, refuse new ones.
  // New connections must be refused by the time this returns.
  virtual void instrumentDown() = 0;
  // The instrument is up (also the first time, after start()): accept again.
  virtual void instrumentUp() = 0;
};

// What executing one program message unit produced (for Session).
struct Execution {
  // A query's response (without separator or terminator); none for a command.
  std::optional<std::string> response;
  // When the response may be read: at once, later, or never (*OPC? faults).
  std::chrono::steady_clock::time_point readyAt{};
  bool neverReady = false;
  // The unit restarted the instrument, or the session was already stale:
  // the session is dead now.
  bool sessionDead = false;
};

// One command for Instrument::execute(), with what the session knows.
struct CommandRequest {
  CommandId id = CommandId::cls;
  // The definite-length block that came with it, if any.
  const std::vector<std::uint8_t>* block = nullptr;
  // Some other parameter text came with it.
  bool hasOtherParameter = false;
  // Status byte bits only the session knows (MAV), for *STB?.
  std::uint8_t sessionStatus = 0;
  // The generation the session was made in: a stale session runs nothing.
  std::uint64_t generation = 0;
  std::string client;  // for the log
};

class Instrument {
 public:
  Instrument(InstrumentConfig config, DialogueLog& log);
  ~Instrument();  // stops the timer thread
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  // Listeners must be added before start() and outlive the Instrument's
  // stop() (or be removed first). A listener must not add or remove
  // listeners from inside its callbacks.
  void addListener(InstrumentListener* listener);
  void removeListener(InstrumentListener* listener);

  // Starts the timer thread; the instrument comes up at once, or after
  // Faults::deafAtStart. stop() ends the thread (idempotent).
  void start();
  void stop();

  bool isUp() const;
  // Goes up by one each time the instrument goes down; a Session remembers
  // the generation it was made in and is dead once it changed.
  std::uint64_t generation() const;
  App runningApp() const;
  // Waits up to `bound` until the instrument is up; false if it is not.
  bool waitUntilUp(std::chrono::milliseconds bound) const;
  // Waits up to `bound` until every listener has returned from
  // instrumentDown() for the latest restart; false if that did not happen.
  // Session::deliver() waits for this before it reports a restart, so a
  // client that sees its connection drop finds the port already refused.
  bool waitUntilDownAnnounced(std::chrono::milliseconds bound) const;

  // The device lock that VXI-11 links take (device_lock, create_link with
  // lockDevice). `owner` identifies the link. lock() waits up to `wait` for
  // another owner to release it; false when it could not be had. unlock()
  // is false when `owner` did not hold it. A restart releases the lock.
  bool lock(const void* owner, std::chrono::milliseconds wait);
  bool unlock(const void* owner);
  bool lockedByOther(const void* owner) const;

  // The status byte as *STB? and a serial poll see it, without MAV (which
  // only a Session knows): bit 2 (4) set while the error queue holds an
  // entry.
  std::uint8_t statusSummary() const;

  // Adds an entry to the error queue (with the overflow rule: once full,
  // the newest entry becomes -350 "Queue overflow" and later ones are lost).
  void pushError(ErrorEntry entry);

  // Runs one command (called by Session). Faults in it (wrong parameters,
  // a refused image, ...) go to the error queue.
  Execution execute(const CommandRequest& request);

  // The drop-download fault: the block byte count after which a download of
  // `app` must drop its connection, while the fault has not fired yet.
  // downloadDropped() marks it fired; it fires once per run.
  std::optional<std::uint64_t> downloadDropPoint(App app) const;
  void downloadDropped();

  // The reset faults. resetDueAfter() counts one more run of `id` and tells
  // whether its connection must be reset now. resetBytePoint() is the byte
  // count of Faults::resetAfterBytes until resetBytesFired() (once per run).
  bool resetDueAfter(CommandId id);
  std::optional<std::uint64_t> resetBytePoint() const;
  void resetBytesFired();

  // Images stored so far by downloads in this run (for tests).
  std::optional<std::vector<std::uint8_t>> storedImage(App app) const;
  // The error queue as it stands (for tests).
  std::vector<ErrorEntry> errorQueue() const;

  const InstrumentConfig& config() const { return config_; }
  DialogueLog& log() { return log_; }

 private:
  struct PendingRestart {
    std::chrono::steady_clock::time_point upAt;
    App app;
  };

  std::string identityLocked() const;
  std::string nextErrorReplyLocked();
  bool parametersFitLocked(const CommandRequest& request);
  void downloadLocked(App app, const CommandRequest& request);
  std::string queryLocked(const CommandRequest& request, Execution& execution);
  void scheduleRestartLocked(App app);
  void pushErrorLocked(ErrorEntry entry);
  void timerLoop();
  void notify(bool up);

  const InstrumentConfig config_;
  DialogueLog& log_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool up_ = false;
  bool stopping_ = false;
  std::uint64_t generation_ = 0;
  App app_;
  std::uint32_t mainVersion_;
  std::uint32_t subVersion_;
  std::optional<std::vector<std::uint8_t>> mainImage_;
  std::optional<std::vector<std::uint8_t>> subImage_;
  std::vector<ErrorEntry> errors_;
  std::uint64_t errorQueries_ = 0;
  std::optional<PendingRestart> restart_;
  bool downNotified_ = false;
  std::uint64_t announcedGeneration_ = 0;  // latest restart listeners heard of
  bool dropFired_ = false;
  std::map<CommandId, std::uint64_t> runs_;  // for Faults::resetAfter
  bool resetBytesFired_ = false;
  const void* lockOwner_ = nullptr;
  // Held while listeners are called, so that removeListener() returns only
  // once no call to the removed listener is running.
  std::mutex listenerMutex_;
  std::vector<InstrumentListener*> listeners_;
  std::thread timer_;
};

}  // namespace benchfw::sim

#endif
