#include "link/status_check.h"

#include <gtest/gtest.h>

#include "dialogue.h"

namespace benchfw {
namespace {

using testing::Op;
using testing::Script;

TEST(StatusCheck, PassesOnlySuccess) { EXPECT_EQ(StatusCheck().check(VI_SUCCESS), VI_SUCCESS); }

TEST(StatusCheck, ThrowsEveryOtherStatusUnchanged) {
  // Completion codes and warnings are failures too: the updater trusts only
  // a plain success.
  for (ViStatus status : {VI_SUCCESS_MAX_CNT, VI_WARN_CONFIG_NLOADED, VI_ERROR_TMO,
                          VI_ERROR_SYSTEM_ERROR}) {
    try {
      StatusCheck().check(status);
      ADD_FAILURE() << "not thrown: " << status;
    } catch (ViStatus thrown) {
      EXPECT_EQ(thrown, status);
    }
  }
  try {
    StatusCheck().check(VI_ERROR_SYSTEM_ERROR);
  } catch (ViStatus thrown) {
    EXPECT_EQ(thrown, -1073807360);
  }
}

TEST(SessionCloser, ClosesOnceWhateverTheLibraryAnswers) {
  Script script;
  script.expect({testing::opens(7), testing::fails(Op::close, VI_ERROR_CLOSING_FAILED)});
  ViSession vi = VI_NULL;
  ASSERT_EQ(viOpen(testing::rm, "x", 0, 0, &vi), VI_SUCCESS);
  { SessionCloser closer(vi); }
  EXPECT_EQ(script.transcript({Op::close}), "viClose(7) -> -1073807338\n");
}

TEST(SessionCloser, ClosesWhileAStatusUnwinds) {
  Script script;
  script.expect({testing::opens(7), testing::call(Op::close)});
  ViSession vi = VI_NULL;
  ASSERT_EQ(viOpen(testing::rm, "x", 0, 0, &vi), VI_SUCCESS);
  EXPECT_THROW(
      {
        SessionCloser closer(vi);
        StatusCheck().check(VI_ERROR_IO);
      },
      ViStatus);
  EXPECT_TRUE(script.openSessions().empty());
}

}  // namespace
}  // namespace benchfw
