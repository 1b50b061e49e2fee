// Program messages as a client may send them to the simulated instrument:
// headers of any shape, several units per message, quoted strings, and
// definite-length blocks whose counts are wrong, huge or cut short, arriving
// in pieces of any size with or without END.
//
// Input: two control bytes, then the bytes the instrument receives.
//   [0] the size of the pieces the bytes arrive in (1 to 256); with bit 7
//       set, END comes with the last piece
//   [1] block bytes after which the instrument drops the connection (0: never), as
//       the drop-download fault does: the parser is then reset, like a new
//       connection, and parsing goes on with the next piece
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/commands.h"
#include "sim/program_parser.h"

namespace {

using benchfw::sim::ProgramParser;
using benchfw::sim::ProgramUnit;

class Counting : public ProgramParser::Handler {
 public:
  explicit Counting(unsigned dropAfter) : dropAfter_(dropAfter) {}

  void unitParsed(ProgramUnit& unit) override {
    ++units;
    (void)benchfw::sim::resolveHeader(unit.header);
    if (unit.block.size() > ProgramParser::maxStoredBlock) std::abort();
    if (!unit.hasBlock && !unit.block.empty()) std::abort();
  }
  void messageEnded(const std::string& shown, bool) override {
    ++messages;
    // The log line of a message is cut at a few kilobytes, whatever came.
    if (shown.size() > 8192) std::abort();
  }
  std::optional<std::uint64_t> blockStarting(std::string_view) override {
    if (dropAfter_ == 0) return std::nullopt;
    return dropAfter_;
  }

  unsigned long units = 0;
  unsigned long messages = 0;

 private:
  unsigned dropAfter_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = (data[0] & 0x7F) * 2 + 1;
  const bool endAtLast = data[0] & 0x80;
  Counting handler(data[1]);
  ProgramParser parser;
  std::size_t lineFeeds = 0;
  for (std::size_t at = 2; at < size; at += piece) {
    const std::size_t n = std::min(piece, size - at);
    for (std::size_t i = 0; i < n; ++i) lineFeeds += data[at + i] == '\n';
    const bool end = endAtLast && at + n == size;
    if (parser.feed(data + at, n, end, handler) == ProgramParser::FeedResult::stopped)
      parser.reset();
  }
  // A message ends only at a line feed or at END.
  if (handler.messages > lineFeeds + (endAtLast ? 1 : 0)) std::abort();
  return 0;
}
