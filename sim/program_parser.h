// Streaming parser for IEEE 488.2 program messages as an instrument receives
// them: bytes arrive in pieces of any size, and a firmware image of several
// megabytes travels inside one message as a definite-length block.
//
//   message   = unit { ";" unit } terminator
//   unit      = [whitespace] header [whitespace parameters]
//   block     = "#" n(1..9) n-digit-count count-bytes   (any bytes inside)
//   terminator = line feed outside a block, or END on the last byte
//
// The parser splits units and finds blocks; it does not know commands:
// the header text goes to the Session, which asks the Instrument. Quoted
// strings ('...' or "...") keep a ";" inside them from splitting the unit.
// An indefinite-length block ("#0") is refused as -161: it could only end
// with END, which a raw socket cannot carry.
#ifndef BENCHFW_SIM_PROGRAM_PARSER_H
#define BENCHFW_SIM_PROGRAM_PARSER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/instrument.h"

namespace benchfw::sim {

struct ProgramUnit {
  std::string header;      // e.g. ":DIAG:HW:HOST:FW:UPD:SUB" or "*idn?"
  std::string parameters;  // non-block parameter text, trimmed
  bool hasBlock = false;
  std::vector<std::uint8_t> block;
  // A syntax fault found while parsing the unit (e.g. -161 bad block
  // header); the unit must not be executed then.
  std::optional<ErrorEntry> error;
};

class ProgramParser {
 public:
  // Blocks beyond this size are counted and dropped, not stored (-223).
  static constexpr std::uint64_t maxStoredBlock = 256u << 20;

  class Handler {
   public:
    virtual ~Handler() = default;
    // A complete unit (its ";" or the message end was seen).
    virtual void unitParsed(ProgramUnit& unit) = 0;
    // The message ended. `shown` is its readable form for the log (blocks as
    // length and CRC-32). `complete` is false when END came inside a block.
    virtual void messageEnded(const std::string& shown, bool complete) = 0;
    // A block starts in the unit with this header. Returning a count makes
    // feed() stop once that many bytes of the block have arrived.
    virtual std::optional<std::uint64_t> blockStarting(std::string_view header) {
      (void)header;
      return std::nullopt;
    }
  };

  enum class FeedResult { consumed, stopped };

  // Parses `size` bytes; `end` marks END on the last one. Returns stopped
  // when a limit from blockStarting() was reached (the rest is not parsed).
  FeedResult feed(const std::uint8_t* data, std::size_t size, bool end,
                  Handler& handler);

  // Forgets the partial message (device clear, dropped connection).
  void reset();

  // True while nothing of a message has arrived yet.
  bool atMessageStart() const { return atMessageStart_; }

 private:
  enum class State { text, quoted, blockDigitCount, blockLength, blockData, skipToEnd };

  void handleTextByte(std::uint8_t byte, Handler& handler);
  void endUnit(Handler& handler);
  void endMessage(Handler& handler, bool complete);
  void beginBlock(Handler& handler);
  void failUnit(ErrorEntry error);
  void appendShown(std::string_view text);

  State state_ = State::text;
  char quote_ = 0;
  bool atMessageStart_ = true;
  bool inParameters_ = false;  // the header's whitespace has been seen
  std::string text_;           // header and parameter text of the unit
  ProgramUnit unit_;
  int lengthDigits_ = 0;
  std::string lengthText_;
  std::uint64_t blockRemaining_ = 0;
  std::uint64_t blockSize_ = 0;
  std::uint32_t blockCrc_ = 0;
  bool blockStored_ = true;
  std::optional<std::uint64_t> stopAfter_;
  std::uint64_t blockReceived_ = 0;
  std::string shown_;
  std::size_t shownDropped_ = 0;
};

}  // namespace benchfw::sim

#endif
