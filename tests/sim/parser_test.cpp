// The program-message parser, fed the way transports feed it: whole, byte
// by byte, and with END.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/commands.h"
#include "sim/program_parser.h"

namespace benchfw::sim {
namespace {

// Records what the parser reports as one readable line per event.
struct Recorder : ProgramParser::Handler {
  std::vector<std::string> events;
  void unitParsed(ProgramUnit& unit) override {
    std::string e = "unit [" + unit.header + "]";
    if (!unit.parameters.empty()) e += " params [" + unit.parameters + "]";
    if (unit.hasBlock) e += " block [" + std::string(unit.block.begin(), unit.block.end()) + "]";
    if (unit.error) e += " error " + std::to_string(unit.error->code);
    events.push_back(e);
  }
  void messageEnded(const std::string&, bool complete) override {
    events.push_back(complete ? "end" : "cut");
  }
};

struct ParseCase {
  const char* name;
  std::string input;
  bool endOnLast;
  std::vector<std::string> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> parse(const ParseCase& c, bool byteByByte) {
  ProgramParser parser;
  Recorder r;
  const auto* data = reinterpret_cast<const std::uint8_t*>(c.input.data());
  if (!byteByByte) {
    parser.feed(data, c.input.size(), c.endOnLast, r);
  } else {
    for (std::size_t i = 0; i < c.input.size(); ++i)
      parser.feed(data + i, 1, c.endOnLast && i + 1 == c.input.size(), r);
  }
  return r.events;
}

using namespace std::string_literals;

const ParseCase parseCases[] = {
    {"one query", "*IDN?\n", false, {"unit [*IDN?]", "end"}},
    {"several units and messages", "*CLS;:SYST:ERR?\n*OPC?\n", false,
     {"unit [*CLS]", "unit [:SYST:ERR?]", "end", "unit [*OPC?]", "end"}},
    {"blank and carriage return around", "  *idn? \r\n", false, {"unit [*idn?]", "end"}},
    {"END ends a message without line feed", "*IDN?", true, {"unit [*IDN?]", "end"}},
    {"empty message", "\n", false, {"end"}},
    {"block with LF, NUL and ; inside", ":UPD #16a\n\0;\nb\n*OPC?\n"s, false,
     {"unit [:UPD] block [a\n\0;\nb]"s, "end", "unit [*OPC?]", "end"}},
    {"block followed by another unit", ":UPD #13x\ny;*OPC?\n", false,
     {"unit [:UPD] block [x\ny]", "unit [*OPC?]", "end"}},
    {"empty block", ":UPD #10\n", false, {"unit [:UPD] block []", "end"}},
    {"quoted ; does not split", ":A 'x;y';:B\n", false,
     {"unit [:A] params ['x;y']", "unit [:B]", "end"}},
    {"END inside a block cuts the message", ":UPD #15ab", true,
     {"unit [:UPD] block [ab] error -160", "cut"}},
    {"indefinite block refused", ":UPD #0abc\n*OPC?\n", false,
     {"unit [:UPD] error -161", "end", "unit [*OPC?]", "end"}},
    {"bad length digit", ":UPD #3a2\n*OPC?\n", false,
     {"unit [:UPD] error -161", "end", "unit [*OPC?]", "end"}},
    {"data behind a block", ":UPD #11a junk\n", false,
     {"unit [:UPD] params [junk] block [a] error -102", "end"}},
    {"two blocks", ":UPD #11a,#11b\n", false, {"unit [:UPD] params [,] block [b] error -108", "end"}},
    {"unterminated string ends at LF", ":A 'abc\n*OPC?\n", false,
     {"unit [:A] params ['abc] error -150", "end", "unit [*OPC?]", "end"}},
};

class ParseTable : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, WholeAndByteByByteAgree) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(parse(c, false), c.expected);
  EXPECT_EQ(parse(c, true), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Messages, ParseTable, testing::ValuesIn(parseCases),
                         [](const auto& param) {
                           std::string n = param.param.name;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(Parser, LogShowsBlocksAsLengthAndCrcAndEscapesTheRest) {
  struct Shown : ProgramParser::Handler {
    std::vector<std::string> texts;
    void unitParsed(ProgramUnit&) override {}
    void messageEnded(const std::string& shown, bool) override { texts.push_back(shown); }
  } h;
  ProgramParser parser;
  const std::string input = ":UPD #9000000009123456789\n:A '\x01\"\\\xff'\r\n"s;
  parser.feed(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), false, h);
  // CRC-32 of "123456789" is the standard check value cbf43926.
  EXPECT_EQ(h.texts, (std::vector<std::string>{":UPD #9000000009<block 9 bytes crc32 cbf43926>",
                                               ":A '\\x01\\\"\\\\\\xff'\\r"}));
}

TEST(Parser, StopsAtTheRequestedBlockByte) {
  struct Stopper : Recorder {
    std::optional<std::uint64_t> blockStarting(std::string_view) override { return 3; }
  } h;
  ProgramParser parser;
  const std::string input = ":UPD #15abcde\n";
  EXPECT_EQ(parser.feed(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), false, h),
            ProgramParser::FeedResult::stopped);
  EXPECT_TRUE(h.events.empty());
}

TEST(Commands, HeadersResolveInEveryForm) {
  const std::pair<const char*, std::optional<CommandId>> cases[] = {
      {":SYST:ERR?", CommandId::errorQuery},
      {"syst:err?", CommandId::errorQuery},
      {":SYSTem:ERRor:NEXT?", CommandId::errorQuery},
      {":system:error?", CommandId::errorQuery},
      {":SYST:ERR", std::nullopt},  // the command form does not exist
      {":SYS:ERR?", std::nullopt},  // neither short nor long
      {"*idn?", CommandId::idnQuery},
      {"*IDN", std::nullopt},
      {":DIAG:HW:HOST:FW:MAIN?", CommandId::mainQuery},
      {":DIAGNOSTIC:HARDWARE:HOST:FIRMWARE:MAIN?", CommandId::mainQuery},
      {":DIAG:HW:HOST:FW:UPD:SUB", CommandId::updateSub},
      {":diag:hw:host:fw:update:main", CommandId::updateMain},
      {":DIAG:HW:HOST:REB:SUB", CommandId::rebootSub},
      {":DIAG:HW:HOST:REBOOT:MAIN", CommandId::rebootMain},
      {":DIAG:HW:HOST:REB:SUB?", std::nullopt},
      {":", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [header, id] : cases) EXPECT_EQ(resolveHeader(header), id) << header;
}

}  // namespace
}  // namespace benchfw::sim
