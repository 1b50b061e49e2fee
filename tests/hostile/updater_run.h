// One run of the real benchfw against a benchfw-sim with fault flags, and
// the texts the updater writes, piece by piece, to build the expected
// standard error from.
#ifndef BENCHFW_TESTS_HOSTILE_UPDATER_RUN_H
#define BENCHFW_TESTS_HOSTILE_UPDATER_RUN_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace benchfw::hostile {

// The simulator on a free loopback port, started with extra flags; stopped
// when this goes.
class Simulator {
 public:
  Simulator(const std::string& dir, const std::vector<std::string>& flags);
  // The raw socket resource, or empty when the simulator did not come up.
  const std::string& resource() const { return resource_; }
  std::string log() const;
  std::string errors() const;

 private:
  std::string dir_;
  std::unique_ptr<e2e::ChildProcess> process_;
  std::string resource_;
};

struct UpdaterRun {
  std::optional<int> status;  // nullopt: still running at the bound (then killed)
  std::string err;
  std::string out;
};

// A fresh directory for one test's files, removed at the end unless the
// test failed (then it is kept for a look).
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs benchfw RESOURCE to its end, at most `bound`.
UpdaterRun runUpdater(const std::string& dir, const std::string& resource,
                      std::chrono::seconds bound);

// The updater's messages for one resource string.
struct Texts {
  std::string resource;

  std::string open() const;
  std::string identity(const std::string& idn) const;  // the reply's own LF included
  std::string state(const std::string& reply) const;
  std::string phase(const std::string& idn, const std::string& state) const;
  std::string subStarted() const;
  std::string mainStarted() const;
  std::string subDone() const;
  std::string mainDone() const;
  std::string instrumentError(int tag, const std::string& reply) const;
  // The whole run of an instrument that starts in the main application.
  std::string fullUpdate() const;
  // The same with every identity reply replaced by `idn` (without its LF:
  // the identity echo then runs straight into the state echo when `idn`
  // is cut short by a NUL or a bound).
  std::string fullUpdateShowing(const std::string& idnEcho) const;

  // Identities of the simulated instrument, before and after the updates
  // (the versions come from the embedded images).
  static std::string mainBefore();
  static std::string subAfter();
  static std::string mainAfter();
};

inline const std::string kOpenVisa = "Open VISA\n";
inline const std::string kVisaError = "\nVISA error\n";

}  // namespace benchfw::hostile

#endif
