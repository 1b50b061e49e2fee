#include "driver/run_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogue.h"

namespace benchfw {
namespace {

using namespace testing;

Outcome run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return capture([&] { return runFrame(static_cast<int>(args.size()), argv.data()); });
}

TEST(RunFrame, WrongArgumentCountShowsUsageOnly) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "usage : benchfw GPIB0::17::INSTR\n"},
      {{"./benchfw"}, "usage : ./benchfw GPIB0::17::INSTR\n"},
      {{"/opt/bin/benchfw", "a", "b"}, "usage : /opt/bin/benchfw GPIB0::17::INSTR\n"},
      {{"bf", "%s%n", "x", "y"}, "usage : bf GPIB0::17::INSTR\n"},
  };
  for (const Case& c : cases) {
    Script script;  // any VISA call would fail the test
    const Outcome o = run(c.args);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.err, c.err);
    EXPECT_TRUE(script.calls().empty());
  }
}

TEST(RunFrame, ResourceManagerNotOpenedReportsWithoutClosing) {
  // A warning from viOpenDefaultRM is a failure like an error.
  for (ViStatus status : {VI_ERROR_SYSTEM_ERROR, VI_WARN_CONFIG_NLOADED}) {
    Script script;
    Step s = openRm();
    s.status = status;
    script.expect(s);
    const Outcome o = run({"benchfw", resource});
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.err, "Open VISA\n\nVISA error\n");
    EXPECT_TRUE(script.transcript({Op::close}).empty());
  }
}

TEST(RunFrame, EmptyResourceIsOneArgument) {
  Script script;
  Step never = fails(Op::open, VI_ERROR_INV_RSRC_NAME);
  never.takesMs = 120000;
  script.expect({openRm(), never, sleeps(), call(Op::close)});
  const Outcome o = run({"benchfw", ""});
  EXPECT_EQ(o.err, "Open VISA\nOpen Instrument()\n\nVISA error\n");
  EXPECT_EQ(o.result, 1);
}

TEST(RunFrame, FailureInsideOpenClosesOnlyTheResourceManagerBeforeReporting) {
  Script script;
  // The open succeeds but the instrument never answers: that session has
  // no closer of its own and goes with the resource manager session.
  Step silent = fails(Op::readStb, VI_ERROR_TMO);
  silent.takesMs = 120000;
  script.expect({openRm(), opens(5), call(Op::setAttribute), silent, sleeps(), call(Op::close)});
  const Outcome o = run({"benchfw", resource});
  EXPECT_EQ(o.result, 1);
  const std::string before = std::string("Open VISA\nOpen Instrument(") + resource + ")\n";
  EXPECT_EQ(o.err, before + "\nVISA error\n");
  const Call& close = script.calls().back();
  EXPECT_EQ(close.op, Op::close);
  EXPECT_EQ(close.session, rm);
  EXPECT_EQ(close.stderrAt, static_cast<long>(before.size()));
}

TEST(RunFrame, FailureAfterTheCloserTookTheSessionClosesNewestFirst) {
  Script script;
  script.expect(std::vector<Step>{openRm()} + answeringOpen(5) +
                std::vector<Step>{fails(Op::clear, VI_ERROR_CONN_LOST)} + closes() + closes());
  const Outcome o = run({"benchfw", resource});
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(script.transcript({Op::close}), "viClose(5) -> 0\nviClose(1) -> 0\n");
  EXPECT_EQ(o.err.substr(o.err.size() - 12), "\nVISA error\n");
  EXPECT_EQ(script.calls().back().stderrAt, static_cast<long>(o.err.size() - 12));
}

}  // namespace
}  // namespace benchfw
