#include "link/queries.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/status_check.h"

#include "dialogue.h"

namespace benchfw {
namespace {

using namespace testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

constexpr ViSession vi = 3;

Outcome askState() { return capture([] { return isMainAppRunning(vi); }); }

TEST(IsMainAppRunning, HealthyDialogueByteForByte) {
  Script script;
  script.expect(stateQuery("1\n"));
  const Outcome o = askState();
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.thrown, VI_SUCCESS);
  EXPECT_EQ(o.err, "*IDN? = " + identity + ":DIAG:HW:HOST:FW:MAIN? = 1\n");
  EXPECT_EQ(script.transcript(),
            "viClear(3) -> 0\n"
            "viPrintf(3) \"*CLS\\n\" -> 0\n"
            "viPrintf(3) \":SYST:ERR?\\n\" -> 0\n"
            "viScanf(3, \"%#t\") -> 0\n"
            "viPrintf(3) \"*IDN?\\n\" -> 0\n"
            "viScanf(3, \"%#t\") -> 0\n"
            "viPrintf(3) \":SYST:ERR?\\n\" -> 0\n"
            "viScanf(3, \"%#t\") -> 0\n"
            "viPrintf(3) \":DIAG:HW:HOST:FW:MAIN?\\n\" -> 0\n"
            "viScanf(3, \"%#t\") -> 0\n"
            "viPrintf(3) \":SYST:ERR?\\n\" -> 0\n"
            "viScanf(3, \"%#t\") -> 0\n");
  // Every command is a whole message, ended by END on its line feed.
  EXPECT_EQ(script.messages().size(), 6u);
  EXPECT_EQ(script.unterminated(vi), "");
}

TEST(IsMainAppRunning, StateRepliesOtherThanExactlyOneAreFalse) {
  for (std::string state : std::vector<std::string>{"0\n", "1", "1\r\n", " 1\n", "+1\n", "1\n\n", std::string("1\n\0", 3), ""}) {
    Script script;
    script.expect(stateQuery(state));
    const Outcome o = askState();
    EXPECT_EQ(o.result, 0) << printable(state);
    EXPECT_EQ(o.thrown, VI_SUCCESS);
  }
}

TEST(CheckInstrumentError, ErrorEntryAtEachTagIsReportedAndThrown) {
  const std::string entry = "-113,\"Undefined header\"\n";
  const std::string idnEcho = "*IDN? = " + identity;
  struct Case {
    int tag;
    std::vector<Step> steps;
    std::string err;
  } cases[] = {
      {79, std::vector<Step>{call(Op::clear), call(Op::printf)} + errorCheck(entry),
       "(79) err=" + entry + "\n"},
      {87,
       std::vector<Step>{call(Op::clear), call(Op::printf)} + errorCheck() +
           std::vector<Step>{call(Op::printf), replies(identity)} + errorCheck(entry),
       idnEcho + "(87) err=" + entry + "\n"},
      {95,
       std::vector<Step>{call(Op::clear), call(Op::printf)} + errorCheck() +
           std::vector<Step>{call(Op::printf), replies(identity)} + errorCheck() +
           std::vector<Step>{call(Op::printf), replies("1\n")} + errorCheck(entry),
       idnEcho + ":DIAG:HW:HOST:FW:MAIN? = 1\n(95) err=" + entry + "\n"},
  };
  for (const Case& c : cases) {
    Script script;
    script.expect(c.steps);
    const Outcome o = askState();
    EXPECT_EQ(o.thrown, VI_ERROR_SYSTEM_ERROR) << c.tag;
    EXPECT_EQ(o.err, c.err);
  }
}

TEST(CheckInstrumentError, NearMissesOfTheNoErrorEntryAreErrors) {
  for (std::string reply : std::vector<std::string>{"0,\"No error\"\n", "+0,\"No Error\"\n", "+0,\"No error\"\r\n",
                            "+0,\"No error\"", " +0,\"No error\"\n", "+1,\"No error\"\n",
                            "+0,\"No error\";detail\n", std::string("+0,\"No\0error\"\n", 15)}) {
    Script script;
    script.expect(errorCheck(reply));
    CaptureStderr();
    EXPECT_THROW(checkInstrumentError(vi, 42), ViStatus) << printable(reply);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("(42) err=", 0), 0u) << err;
  }
}

TEST(CheckInstrumentError, ReplyIsPrintedAsTextNeverAsAFormat) {
  Script script;
  script.expect(errorCheck("-100,\"%s%n%x%%\"\n"));
  CaptureStderr();
  EXPECT_THROW(checkInstrumentError(vi, 7), ViStatus);
  EXPECT_EQ(GetCapturedStderr(), "(7) err=-100,\"%s%n%x%%\"\n\n");
}

TEST(IsMainAppRunning, FailingReadLeavesTheEchoOpen) {
  Script script;
  script.expect(std::vector<Step>{call(Op::clear), call(Op::printf)} + errorCheck() +
                std::vector<Step>{call(Op::printf), fails(Op::scanf, VI_ERROR_TMO)});
  const Outcome o = askState();
  EXPECT_EQ(o.thrown, VI_ERROR_TMO);
  EXPECT_EQ(o.err, "*IDN? = ");
}

TEST(IsMainAppRunning, OverLongIdentityKeepsItsFirst1023Characters) {
  Script script;
  const std::string longIdentity(3000, 'A');
  script.expect(stateQuery("1\n", longIdentity + "\n"));
  const Outcome o = askState();
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.err, "*IDN? = " + std::string(1023, 'A') + ":DIAG:HW:HOST:FW:MAIN? = 1\n");
}

TEST(ReadReply, TerminatesAtTheCountTheLibraryReports) {
  Script script;
  script.expect(replies("0\n"));
  ReplyBuffer buffer;
  std::memset(buffer, 'x', sizeof buffer);
  StatusCheck status;
  EXPECT_EQ(readReply(vi, status, buffer), 2u);
  EXPECT_STREQ(buffer, "0\n");
}

}  // namespace
}  // namespace benchfw
