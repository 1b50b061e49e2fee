// The command line: reply escapes and the flags' checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/options.h"

namespace benchfw::sim {
namespace {

using namespace std::string_literals;

TEST(Options, EscapesDecode) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"1\\r", "1\r"},
      {"a\\n\\t\\\\\\\"\\'", "a\n\t\\\"'"},
      {"\\x41\\x0a\\0", "A\n\0"s},
      {"X\\{5}", "XXXXX"},
      {"ab\\{1}c", "abc"},
      {"\\n\\{3}", "\n\n\n"},
  };
  for (const auto& [text, expected] : cases) {
    std::string out, error;
    EXPECT_TRUE(decodeEscapes(text, out, error)) << text << ": " << error;
    EXPECT_EQ(out, expected) << text;
  }
  for (const char* bad : {"\\", "\\q", "\\x4", "\\xZZ", "\\{3}", "X\\{0}", "X\\{3", "X\\{99999999}"}) {
    std::string out, error;
    EXPECT_FALSE(decodeEscapes(bad, out, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

bool parse(std::vector<const char*> args, SimOptions& out, std::string& error) {
  return parseOptions(static_cast<int>(args.size()), args.data(), out, error);
}

TEST(Options, FlagsFillTheConfiguration) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parse({"--port=0", "--app", "sub", "--restart-time", "0.25", "--error-at", "4",
                     "--error-at", "8:-310,System error\\x21", "--error-at", "9:-5,\"quoted\"", "--reply", "*idn?=X\\{3}",
                     "--ignore-restart", "both", "--drop-download", "main:1000", "--opc-delay",
                     "never", "--listen-delay", "1.5", "--accept-any-image"},
                    o, error))
      << error;
  const auto& c = o.instrument;
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(c.startApp, App::sub);
  EXPECT_EQ(c.restartTime.count(), 250);
  EXPECT_EQ(c.faults.errorAt.at(4), (ErrorEntry{-300, "Device-specific error"}));
  EXPECT_EQ(c.faults.errorAt.at(8), (ErrorEntry{-310, "System error!"}));
  EXPECT_EQ(c.faults.errorAt.at(9), (ErrorEntry{-5, "quoted"}));
  EXPECT_EQ(c.faults.replies.at(CommandId::idnQuery), "XXX");
  EXPECT_TRUE(c.faults.ignoreRestartIntoMain && c.faults.ignoreRestartIntoSub);
  EXPECT_EQ(c.faults.dropDownloadAfter, 1000u);
  EXPECT_EQ(c.faults.dropApp, App::main);
  EXPECT_TRUE(c.faults.opcNever);
  EXPECT_EQ(c.faults.deafAtStart.count(), 1500);
  EXPECT_TRUE(c.acceptAnyImage);
}

TEST(Options, BadFlagsAreRefusedWithAReason) {
  const std::vector<std::vector<const char*>> cases = {
      {"--port", "65536"}, {"--port", "-1"},       {"--port"},
      {"--app", "both"},   {"--restart-time", "x"}, {"--restart-time", "-1"},
      {"--restart-time", "nan"}, {"--error-at", "0"}, {"--error-at", "2:abc"},
      {"--reply", "*IDN"}, {"--reply", "*FOO?=x"}, {"--reply", "*IDN?"},
      {"--drop-download", "all:5"}, {"--ignore-restart", "none"}, {"--frobnicate", "1"},
      {"stray"}, {"--save-images", "/nonexistent/dir"},
  };
  for (const auto& args : cases) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(parse(args, o, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

}  // namespace
}  // namespace benchfw::sim
