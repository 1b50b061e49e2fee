#include "driver/update_plan.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/run_frame.h"
#include "dialogue.h"
#include "payload/images.h"

namespace benchfw {
namespace {

using namespace testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

Outcome runPlan() { return capture([] { return runUpdatePlan(rm, resource); }); }

// Phases as the instrument sees them. Sessions 11, 12, 13 belong to
// phases 1, 2, 3.
std::vector<Step> phase(ViSession vi, const char* state) { return answeringOpen(vi) + stateQuery(state); }

const std::vector<Step> mainThenSub = phase(11, "1\n") + download() + restart() + closes() +
                                      std::vector<Step>{sleeps()};

// No session is open while the plan waits, and never two at once.
void expectSessionsNeverOverlap(const Script& script) {
  int open = 0;
  for (const Call& c : script.calls()) {
    if (c.op == Op::open && c.returned == VI_SUCCESS) {
      EXPECT_EQ(++open, 1) << script.transcript();
    }
    if (c.op == Op::close) --open;
    if (c.op == Op::sleep) {
      EXPECT_EQ(open, 0) << "session open during a wait";
    }
  }
  EXPECT_EQ(open, 0);
}

TEST(UpdatePlan, StartingInMainSendsBothImagesAndEndsInMain) {
  Script script;
  script.expect(mainThenSub + phase(12, "0\n") + download() + restart() + closes() +
                std::vector<Step>{sleeps()} + phase(13, "1\n") + closes());
  const Outcome o = runPlan();
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(script.transcript({Op::bufWrite, Op::close, Op::sleep}),
            "viBufWrite(11, subAppImage, " + std::to_string(subAppImageSize) + ") -> 0\n"
            "viClose(11) -> 0\n"
            "sleep 5000\n"
            "viBufWrite(12, mainAppImage, " + std::to_string(mainAppImageSize) + ") -> 0\n"
            "viClose(12) -> 0\n"
            "sleep 10000\n"
            "viClose(13) -> 0\n");
  expectSessionsNeverOverlap(script);
}

TEST(UpdatePlan, StartingInSubSkipsTheSubImageButStillWaits) {
  Script script;
  script.expect(phase(11, "0\n") + closes() + std::vector<Step>{sleeps()} + phase(12, "0\n") +
                download() + restart() + closes() + std::vector<Step>{sleeps()} + phase(13, "1\n") +
                closes());
  const Outcome o = runPlan();
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(script.transcript({Op::bufWrite, Op::sleep}),
            "sleep 0\nviBufWrite(12, mainAppImage, " + std::to_string(mainAppImageSize) +
                ") -> 0\nsleep 10000\n");
  expectSessionsNeverOverlap(script);
}

TEST(UpdatePlan, WrongApplicationEndsWithItsMessage) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::string tail;
  } cases[] = {
      {"restart into sub ignored", mainThenSub + phase(12, "1\n") + closes(),
       ":DIAG:HW:HOST:FW:MAIN? = 1\nMain app is running.  Sub app expected.\n"},
      {"restart into main ignored",
       mainThenSub + phase(12, "0\n") + download() + restart() + closes() +
           std::vector<Step>{sleeps()} + phase(13, "0\n") + closes(),
       ":DIAG:HW:HOST:FW:MAIN? = 0\nSub app is running.  Main app expected.\n"},
  };
  for (const Case& c : cases) {
    Script script;
    script.expect(c.steps);
    const Outcome o = runPlan();
    EXPECT_EQ(o.result, 1) << c.name;
    ASSERT_GE(o.err.size(), c.tail.size());
    EXPECT_EQ(o.err.substr(o.err.size() - c.tail.size()), c.tail) << c.name;
    // The message comes before the session is closed.
    EXPECT_EQ(script.calls().back().op, Op::close);
    EXPECT_EQ(script.calls().back().stderrAt, static_cast<long>(o.err.size()));
    expectSessionsNeverOverlap(script);
  }
  // The main image never went out when phase 2 found the main application.
  Script script;
  script.expect(cases[0].steps);
  runPlan();
  EXPECT_EQ(script.transcript({Op::bufWrite}), "viBufWrite(11, subAppImage, " +
                                                   std::to_string(subAppImageSize) + ") -> 0\n");
}

TEST(UpdatePlan, ThrowInEachPhaseClosesThatPhasesSession) {
  const std::vector<Step> failingQuery = answeringOpen(0) + std::vector<Step>{fails(Op::clear, VI_ERROR_IO)};
  struct Case {
    std::vector<Step> steps;
    ViSession closed;
  } cases[] = {
      {answeringOpen(11) + std::vector<Step>{fails(Op::clear, VI_ERROR_IO)} + closes(), 11},
      {mainThenSub + answeringOpen(12) + std::vector<Step>{fails(Op::clear, VI_ERROR_IO)} + closes(), 12},
      {mainThenSub + phase(12, "0\n") + download() + restart() + closes() + std::vector<Step>{sleeps()} +
           answeringOpen(13) + std::vector<Step>{fails(Op::clear, VI_ERROR_IO)} + closes(),
       13},
  };
  for (const Case& c : cases) {
    Script script;
    script.expect(c.steps);
    const Outcome o = runPlan();
    EXPECT_EQ(o.thrown, VI_ERROR_IO);
    EXPECT_EQ(script.calls().back().op, Op::close);
    EXPECT_EQ(script.calls().back().session, c.closed);
    expectSessionsNeverOverlap(script);
  }
}

TEST(UpdatePlan, FailedDownloadInPhaseTwoClosesItsSessionThenTheResourceManager) {
  Script script;
  script.expect(std::vector<Step>{openRm()} + mainThenSub + phase(12, "0\n") +
                std::vector<Step>{call(Op::printf), fails(Op::bufWrite, VI_ERROR_CONN_LOST)} + closes() +
                closes());
  std::string argv0 = "benchfw", arg = resource;
  char* argv[] = {argv0.data(), arg.data(), nullptr};
  CaptureStderr();
  EXPECT_EQ(runFrame(2, argv), 1);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(script.transcript({Op::close}), "viClose(11) -> 0\nviClose(12) -> 0\nviClose(1) -> 0\n");
  const std::string tail = "Update main app (" + std::to_string(mainAppImageSize) + " bytes) ...\nVISA error\n";
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
}

TEST(UpdatePlan, WholeRunOutputForASuccessfulUpdate) {
  Script script;
  script.expect(std::vector<Step>{openRm()} + mainThenSub + phase(12, "0\n") + download() + restart() +
                closes() + std::vector<Step>{sleeps()} + phase(13, "1\n") + closes() + closes());
  std::string argv0 = "benchfw", arg = resource;
  char* argv[] = {argv0.data(), arg.data(), nullptr};
  CaptureStderr();
  EXPECT_EQ(runFrame(2, argv), 0);
  const std::string open = std::string("Open Instrument(") + resource + ")\n";
  const std::string idn = "*IDN? = " + identity;
  EXPECT_EQ(GetCapturedStderr(),
            "Open VISA\n" +
            open + idn + ":DIAG:HW:HOST:FW:MAIN? = 1\n"
            "Update sub app (" + std::to_string(subAppImageSize) + " bytes) ......Done\n" +
            open + idn + ":DIAG:HW:HOST:FW:MAIN? = 0\n"
            "Update main app (" + std::to_string(mainAppImageSize) + " bytes) ......Done\n" +
            open + idn + ":DIAG:HW:HOST:FW:MAIN? = 1\n");
  EXPECT_TRUE(script.openSessions().empty());
}

}  // namespace
}  // namespace benchfw
