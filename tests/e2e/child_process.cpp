#include "child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace benchfw::e2e {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(10);

int openForWriting(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stderrPath,
                           const std::string& stdoutPath) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int err = openForWriting(stderrPath);
  const int out = stdoutPath.empty() ? -1 : openForWriting(stdoutPath);
  if (err < 0) throw std::runtime_error("cannot create " + stderrPath);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(err, STDERR_FILENO);
    dup2(out >= 0 ? out : err, STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  ::close(err);
  if (out >= 0) ::close(out);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() { stop(); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds bound) {
  if (status_ || pid_ < 0) return status_;
  const auto deadline = Clock::now() + bound;
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (r < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollStep);
  }
}

int ChildProcess::stop() {
  if (pid_ < 0) return -1;
  if (!status_) {
    kill(pid_, SIGTERM);
    if (!wait(std::chrono::seconds(10))) {
      kill(pid_, SIGKILL);
      wait(std::chrono::seconds(10));
    }
  }
  return status_.value_or(-1);
}

bool waitForPort(std::uint16_t port, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    if (ok) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string makeTempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/benchfw-" + tag + "-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace benchfw::e2e
