#include "link/connection.h"

#include <gtest/gtest.h>

#include "dialogue.h"

namespace benchfw {
namespace {

using namespace testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// Runs openInstrument against the script; returns what it threw, or
// VI_SUCCESS.
ViStatus open(ViSession& vi, std::string* err = nullptr) {
  const Outcome o = capture([&] { openInstrument(rm, vi, resource); });
  if (err) *err = o.err;
  return o.thrown;
}

Step slow(Step s, std::uint32_t ms) {
  s.takesMs = ms;
  return s;
}

TEST(OpenInstrument, AnsweringInstrumentTakesOneOfEachCallAndNoSleep) {
  Script script;
  script.expect(answeringOpen(9));
  ViSession vi = 1234;  // the previous phase's closed session: not read
  std::string err;
  EXPECT_EQ(open(vi, &err), VI_SUCCESS);
  EXPECT_EQ(vi, 9u);
  EXPECT_EQ(err, std::string("Open Instrument(") + resource + ")\n");
  EXPECT_EQ(script.transcript(),
            std::string("viOpen(\"") + resource + "\", 1, 100) -> 0 vi=9\n"
            "viSetAttribute(9, TMO_VALUE, 1000) -> 0\n"
            "viReadSTB(9) -> 0\n"
            "viSetAttribute(9, TMO_VALUE, 120000) -> 0\n");
}

TEST(OpenInstrument, RetriesOnceASecondUntilTheInstrumentAnswers) {
  Script script;
  // Refused twice while the instrument restarts, then open but not yet
  // answering, and a success that hands back no session.
  script.expect({fails(Op::open, VI_ERROR_RSRC_NFOUND), sleeps(), fails(Op::open, VI_ERROR_RSRC_NFOUND),
                 sleeps(), opens(VI_NULL), sleeps(), opens(4), call(Op::setAttribute),
                 slow(fails(Op::readStb, VI_ERROR_TMO), 1000), sleeps(),
                 fails(Op::readStb, VI_ERROR_CONN_LOST), sleeps(), call(Op::readStb),
                 call(Op::setAttribute)});
  ViSession vi = VI_NULL;
  EXPECT_EQ(open(vi), VI_SUCCESS);
  EXPECT_EQ(vi, 4u);
  EXPECT_EQ(script.transcript({Op::sleep}), "sleep 1000\nsleep 1000\nsleep 1000\nsleep 1000\nsleep 1000\n");
}

TEST(OpenInstrument, WindowPassedInTheOpenLoopThrowsTheLastStatus) {
  Script script;
  // 120 attempts, a second apart, then the window is over.
  for (int i = 0; i < 119; ++i) script.expect({fails(Op::open, VI_ERROR_RSRC_NFOUND), sleeps()});
  script.expect({fails(Op::open, VI_ERROR_RSRC_BUSY), sleeps()});
  ViSession vi = VI_NULL;
  EXPECT_EQ(open(vi), VI_ERROR_RSRC_BUSY);
  EXPECT_EQ(script.nowMs(), 120000);
}

TEST(OpenInstrument, WindowPassedWithSuccessButNoSessionIsAFailure) {
  Script script;
  script.expect({slow(opens(VI_NULL), 120000), sleeps()});
  ViSession vi = VI_NULL;
  EXPECT_EQ(open(vi), VI_ERROR_INV_OBJECT);
}

TEST(OpenInstrument, WindowPassedInThePollThrowsTheLastStatusAndLeavesTheSessionOpen) {
  Script script;
  script.expect({opens(6), call(Op::setAttribute)});
  // Each poll waits its 1000 ms timeout, then the pause: 60 polls fill the window.
  for (int i = 0; i < 59; ++i) script.expect({slow(fails(Op::readStb, VI_ERROR_TMO), 1000), sleeps()});
  script.expect({slow(fails(Op::readStb, VI_ERROR_IO), 1000), sleeps()});
  ViSession vi = VI_NULL;
  EXPECT_EQ(open(vi), VI_ERROR_IO);
  EXPECT_EQ(vi, 6u);
  EXPECT_EQ(script.openSessions(), std::vector<ViSession>{6});
}

TEST(OpenInstrument, WindowCountsFromEachLoopsOwnStart) {
  Script script;
  // The open loop uses 100 s; the poll still gets its full window.
  script.expect({slow(fails(Op::open, VI_ERROR_RSRC_NFOUND), 100000), sleeps(), opens(3),
                 call(Op::setAttribute), slow(fails(Op::readStb, VI_ERROR_TMO), 118000), sleeps(),
                 call(Op::readStb), call(Op::setAttribute)});
  ViSession vi = VI_NULL;
  EXPECT_EQ(open(vi), VI_SUCCESS);
}

TEST(OpenInstrument, PollTimeoutFailureIsIgnoredLinkTimeoutFailureIsThrown) {
  {
    Script script;
    script.expect({opens(2), fails(Op::setAttribute, VI_ERROR_NSUP_ATTR_STATE), call(Op::readStb),
                   call(Op::setAttribute)});
    ViSession vi = VI_NULL;
    EXPECT_EQ(open(vi), VI_SUCCESS);
  }
  {
    Script script;
    script.expect({opens(2), call(Op::setAttribute), call(Op::readStb),
                   fails(Op::setAttribute, VI_WARN_NSUP_ATTR_STATE)});
    ViSession vi = VI_NULL;
    EXPECT_EQ(open(vi), VI_WARN_NSUP_ATTR_STATE);
  }
}

TEST(OpenInstrument, ResourceIsPrintedAndPassedAsData) {
  Script script;
  const char weird[] = "TCPIP0::%s%n%d::5025::SOCKET\xC3\xA9";
  script.expect(answeringOpen(2));
  ViSession vi = VI_NULL;
  CaptureStderr();
  openInstrument(rm, vi, weird);
  EXPECT_EQ(GetCapturedStderr(), std::string("Open Instrument(") + weird + ")\n");
  EXPECT_EQ(script.calls().front().text, weird);
}

}  // namespace
}  // namespace benchfw
