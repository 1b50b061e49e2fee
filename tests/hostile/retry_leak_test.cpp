// While the instrument is absent the updater retries its open once a second
// for two minutes. Nothing of a failed attempt may stay behind: the
// process's open descriptors and its resident memory must not grow with
// the attempts. (Under AddressSanitizer, ctest turns its quarantine of freed
// memory off for these tests, so that freed memory is not counted.)
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "updater_run.h"
#include "visa.h"

namespace benchfw::hostile {
namespace {

using namespace std::chrono_literals;

// A loopback port that refuses connections for as long as this lives: bound,
// never listening, so nobody else can take it meanwhile.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &length) == 0)
      port_ = ntohs(sa.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

std::size_t openDescriptors(const std::string& pid) {
  std::error_code error;
  std::filesystem::directory_iterator it("/proc/" + pid + "/fd", error);
  if (error) return 0;
  return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

// VmRSS in KiB, 0 once the process is gone.
long residentKiB(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Far more than one attempt could hold (a socket, a parsed name, an address
// list) and far less than a few hundred attempts would.
constexpr long kGrowthKiB = 1024;

TEST(RetryLeaks, FailedOpensLeaveNothingBehind) {
  RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  const std::string port = std::to_string(refusing.port());
  // Our library's VXI-11 opens ask this port for the portmapper.
  ::setenv("BENCHFW_VXI11_PORTMAPPER_PORT", port.c_str(), 1);
  const std::string names[] = {
      "TCPIP0::127.0.0.1::" + port + "::SOCKET",  // refused connection
      "TCPIP0::127.0.0.1::inst0::INSTR",          // refused portmapper
      "TCPIP0::127.0.0.1::%s%n::SOCKET",          // a name that does not parse
  };
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  auto attempts = [&](int rounds) {
    for (int i = 0; i < rounds; ++i) {
      for (const std::string& name : names) {
        ViSession vi = VI_NULL;
        const ViStatus status = viOpen(rm, name.c_str(), VI_EXCLUSIVE_LOCK, 100, &vi);
        ASSERT_LT(status, VI_SUCCESS) << name;
        ASSERT_EQ(vi, VI_NULL) << name;
      }
    }
  };
  // The allocator's and the library's one-time growth (AddressSanitizer's
  // allocator takes about a thousand rounds to settle).
  attempts(1000);
  const std::size_t fdsBefore = openDescriptors("self");
  const long rssBefore = residentKiB("self");
  attempts(2000);
  EXPECT_EQ(openDescriptors("self"), fdsBefore);
  EXPECT_LE(residentKiB("self") - rssBefore, kGrowthKiB);
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
  ::unsetenv("BENCHFW_VXI11_PORTMAPPER_PORT");
}

// The real updater through its whole 120 s window against a refusing port,
// its descriptors and resident memory sampled while it retries.
TEST(RetryLeaks, UpdaterRetryWindowStaysFlat) {
  RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  const std::string resource =
      "TCPIP0::127.0.0.1::" + std::to_string(refusing.port()) + "::SOCKET";
  const ScratchDir scratch("hostile-window");
  const std::string& dir = scratch.path();
  e2e::ChildProcess updater({BENCHFW_PATH, resource}, dir + "/benchfw.err", dir + "/benchfw.out");
  const std::string pid = std::to_string(updater.pid());

  // Samples from the tenth second on, once start-up is behind it.
  std::size_t fdsLow = SIZE_MAX, fdsHigh = 0;
  long rssFirst = 0, rssHigh = 0;
  const auto start = std::chrono::steady_clock::now();
  while (!updater.wait(1s)) {
    if (std::chrono::steady_clock::now() - start < 10s) continue;
    const std::size_t fds = openDescriptors(pid);
    const long rss = residentKiB(pid);
    if (fds == 0 || rss == 0) continue;  // ended between the two looks
    fdsLow = std::min(fdsLow, fds);
    fdsHigh = std::max(fdsHigh, fds);
    if (rssFirst == 0) rssFirst = rss;
    rssHigh = std::max(rssHigh, rss);
    ASSERT_LT(std::chrono::steady_clock::now() - start, 200s) << "benchfw did not end";
  }
  EXPECT_EQ(updater.wait(0s), 1);
  EXPECT_EQ(e2e::readFile(dir + "/benchfw.err"), kOpenVisa + Texts{resource}.open() + kVisaError);
  ASSERT_GT(fdsHigh, 0u) << "no sample taken";
  EXPECT_EQ(fdsHigh, fdsLow);
  EXPECT_LE(rssHigh - rssFirst, kGrowthKiB);
}

}  // namespace
}  // namespace benchfw::hostile
