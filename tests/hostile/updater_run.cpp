#include "updater_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "payload/image_format.h"
#include "payload/images.h"

namespace benchfw::hostile {
namespace {

using namespace std::chrono_literals;

bool placeholderImages() {
  return image::inspect(mainAppImage, mainAppImageSize).problem.empty() &&
         image::inspect(subAppImage, subAppImageSize).problem.empty();
}

// The version an instrument shows once it runs `image`; real firmware
// carries no header we can read, and the simulator then keeps `before`.
std::string versionAfter(const unsigned char* image, std::size_t size, const char* before) {
  if (!placeholderImages()) return before;
  return image::versionText(image::inspect(image, size).version);
}

std::string identityOf(const std::string& app, const std::string& version) {
  return "BENCHLAB,BL-7000,SN000123," + app + " " + version;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& tag) : path_(e2e::makeTempDir(tag)) {}

ScratchDir::~ScratchDir() {
  if (!::testing::Test::HasFailure()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

Simulator::Simulator(const std::string& dir, const std::vector<std::string>& flags) : dir_(dir) {
  std::vector<std::string> argv = {BENCHFW_SIM_PATH, "--port", "0", "--restart-time", "1",
                                   "--log", dir + "/sim.log"};
  if (!placeholderImages()) argv.push_back("--accept-any-image");
  argv.insert(argv.end(), flags.begin(), flags.end());
  process_ = std::make_unique<e2e::ChildProcess>(argv, dir + "/sim.err");
  // It says where it listens once it does; wait for that line, bounded.
  static const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+),)");
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline && !process_->wait(0ms)) {
    std::smatch port;
    const std::string text = errors();
    if (std::regex_search(text, port, listening)) {
      resource_ = "TCPIP0::127.0.0.1::" + port[1].str() + "::SOCKET";
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
}

std::string Simulator::log() const { return e2e::readFile(dir_ + "/sim.log"); }
std::string Simulator::errors() const { return e2e::readFile(dir_ + "/sim.err"); }

UpdaterRun runUpdater(const std::string& dir, const std::string& resource,
                      std::chrono::seconds bound) {
  e2e::ChildProcess updater({BENCHFW_PATH, resource}, dir + "/benchfw.err", dir + "/benchfw.out");
  UpdaterRun run;
  run.status = updater.wait(bound);
  if (!run.status) updater.stop();
  run.err = e2e::readFile(dir + "/benchfw.err");
  run.out = e2e::readFile(dir + "/benchfw.out");
  return run;
}

std::string Texts::open() const { return "Open Instrument(" + resource + ")\n"; }
std::string Texts::identity(const std::string& idn) const { return "*IDN? = " + idn + "\n"; }
std::string Texts::state(const std::string& reply) const {
  return ":DIAG:HW:HOST:FW:MAIN? = " + reply + "\n";
}
std::string Texts::phase(const std::string& idn, const std::string& reply) const {
  return open() + identity(idn) + state(reply);
}
std::string Texts::subStarted() const {
  return "Update sub app (" + std::to_string(subAppImageSize) + " bytes) ...";
}
std::string Texts::mainStarted() const {
  return "Update main app (" + std::to_string(mainAppImageSize) + " bytes) ...";
}
std::string Texts::subDone() const { return subStarted() + "...Done\n"; }
std::string Texts::mainDone() const { return mainStarted() + "...Done\n"; }
std::string Texts::instrumentError(int tag, const std::string& reply) const {
  return "(" + std::to_string(tag) + ") err=" + reply + "\n";
}

std::string Texts::fullUpdate() const {
  return kOpenVisa + phase(mainBefore(), "1") + subDone() + phase(subAfter(), "0") + mainDone() +
         phase(mainAfter(), "1");
}

std::string Texts::fullUpdateShowing(const std::string& idnEcho) const {
  const std::string shown = open() + "*IDN? = " + idnEcho;
  return kOpenVisa + shown + state("1") + subDone() + shown + state("0") + mainDone() + shown +
         state("1");
}

std::string Texts::mainBefore() { return identityOf("MAIN", "2.5.0"); }
std::string Texts::subAfter() {
  return identityOf("SUB", versionAfter(subAppImage, subAppImageSize, "1.3.1"));
}
std::string Texts::mainAfter() {
  return identityOf("MAIN", versionAfter(mainAppImage, mainAppImageSize, "2.5.0"));
}

}  // namespace benchfw::hostile
