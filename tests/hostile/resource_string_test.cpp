// The resource string is the user's data: printf directives and bytes that
// are not ASCII are shown literally in "Open Instrument(...)" and handed to
// viOpen as they are. Our library refuses these names (a port or a VXI-11
// device name must not hold such bytes), so every attempt fails and the run
// ends cleanly after the 120 s retry window, like any absent instrument.
#include <gtest/gtest.h>

#include <string>

#include "updater_run.h"

namespace benchfw::hostile {
namespace {

using namespace std::chrono_literals;

class ResourceString : public ::testing::TestWithParam<const char*> {};

std::string nameOf(const ::testing::TestParamInfo<const char*>& param) {
  return param.index == 0 ? "SocketPort" : "Vxi11Device";
}

TEST_P(ResourceString, IsPrintedLiterallyAndFailsCleanly) {
  const std::string resource = GetParam();
  const ScratchDir scratch("hostile-resource");
  const UpdaterRun run = runUpdater(scratch.path(), resource, 200s);
  ASSERT_TRUE(run.status.has_value()) << "benchfw did not end";
  EXPECT_EQ(*run.status, 1);
  EXPECT_EQ(run.err, kOpenVisa + Texts{resource}.open() + kVisaError);
  EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(Names, ResourceString,
                         ::testing::Values("TCPIP0::127.0.0.1::%s%n%x\xc3\xa9\xff::SOCKET",
                                           "TCPIP0::127.0.0.1::inst%s%n%hhn\xff\xfe::INSTR"),
                         nameOf);

}  // namespace
}  // namespace benchfw::hostile
