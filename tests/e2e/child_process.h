// Runs a program of the build as a child process for end-to-end tests:
// standard output and error go to files, every wait has a bound, and a
// child still running when its owner goes is stopped (SIGTERM, then
// SIGKILL) and reaped.
#ifndef BENCHFW_TESTS_CHILD_PROCESS_H
#define BENCHFW_TESTS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace benchfw::e2e {

class ChildProcess {
 public:
  // Starts `argv[0]` with `argv`; its stderr goes to `stderrPath` (and
  // stdout to the same file when `stdoutPath` is empty).
  ChildProcess(const std::vector<std::string>& argv, const std::string& stderrPath,
               const std::string& stdoutPath = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The exit status once it ended within `bound`; nullopt otherwise (the
  // child is then still running). A death by signal reads as 128 + signal.
  std::optional<int> wait(std::chrono::milliseconds bound);
  // SIGTERM, then SIGKILL if it lingers; returns the exit status.
  int stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Waits up to `bound` until a TCP connection to 127.0.0.1:port succeeds.
bool waitForPort(std::uint16_t port, std::chrono::milliseconds bound);

std::string readFile(const std::string& path);
std::vector<std::uint8_t> readBytes(const std::string& path);

// A fresh, empty directory under the system's temporary directory.
std::string makeTempDir(const std::string& tag);

}  // namespace benchfw::e2e

#endif
