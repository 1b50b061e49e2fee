// The resource string is the user's data: printf directives and bytes that
// are not ASCII are shown literally in "Open Instrument(...)" and handed to
// viOpen unchanged; a name nothing answers to ends after the 120 s retry
// window like any absent instrument.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "updater_run.h"

namespace benchfw::hostile {
namespace {

using namespace std::chrono_literals;

std::string expectedFailure(const std::string& resource) {
  return kOpenVisa + Texts{resource}.open() + kVisaError;
}

// A port that does not parse: every viOpen is refused as a bad name.
TEST(ResourceString, DirectivesAndForeignBytesArePrintedLiterally) {
  const std::string resource = "TCPIP0::127.0.0.1::%s%n%x\xc3\xa9\xff::SOCKET";
  const std::string dir = e2e::makeTempDir("hostile-resource");
  const UpdaterRun run = runUpdater(dir, resource, 200s);
  ASSERT_TRUE(run.status.has_value());
  EXPECT_EQ(*run.status, 1);
  EXPECT_EQ(run.err, expectedFailure(resource));
  EXPECT_EQ(run.out, "");
}

// A VXI-11 device name travels to the instrument in create_link: the
// simulator's log shows the very bytes the user typed. It knows only
// "inst0", so every open is refused until the window has passed.
TEST(ResourceString, ReachesTheInstrumentUnchanged) {
  const std::string dir = e2e::makeTempDir("hostile-device");
  Simulator sim(dir, {"--vxi11", "--portmapper-port", "0"});
  ASSERT_NE(sim.portmapperPort(), 0) << sim.errors();
  ::setenv("BENCHFW_VXI11_PORTMAPPER_PORT", std::to_string(sim.portmapperPort()).c_str(), 1);
  const std::string resource = "TCPIP0::127.0.0.1::inst%s%n\xff::INSTR";
  const UpdaterRun run = runUpdater(dir, resource, 200s);
  ::unsetenv("BENCHFW_VXI11_PORTMAPPER_PORT");
  ASSERT_TRUE(run.status.has_value());
  EXPECT_EQ(*run.status, 1);
  EXPECT_EQ(run.err, expectedFailure(resource));
  EXPECT_NE(sim.log().find("create_link refused: device=\"inst%s%n\\xff\" unknown"),
            std::string::npos)
      << sim.log().substr(0, 4000);
}

}  // namespace
}  // namespace benchfw::hostile
