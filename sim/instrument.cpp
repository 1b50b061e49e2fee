#include "sim/instrument.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "payload/image_format.h"
#include "sim/commands.h"

namespace benchfw::sim {
namespace {

using Clock = std::chrono::steady_clock;

const ErrorEntry noError{0, "No error"};

std::string seconds(std::chrono::milliseconds ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ms.count()) / 1000.0);
  return text;
}

// Written beside the target and renamed, so that a reader never sees half
// an image.
bool writeFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::string temp = path + ".part";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    std::remove(temp.c_str());
    return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

const char* appName(App app) { return app == App::main ? "main" : "sub"; }

std::string ErrorEntry::toReply() const {
  return (code >= 0 ? "+" : "") + std::to_string(code) + ",\"" + text + "\"";
}

Instrument::Instrument(InstrumentConfig config, DialogueLog& log)
    : config_(std::move(config)),
      log_(log),
      app_(config_.startApp),
      mainVersion_(config_.mainVersion),
      subVersion_(config_.subVersion) {}

Instrument::~Instrument() { stop(); }

void Instrument::addListener(InstrumentListener* listener) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  listeners_.push_back(listener);
}

void Instrument::removeListener(InstrumentListener* listener) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void Instrument::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (timer_.joinable()) return;
  // Coming up for the first time is the end of a restart whose going down
  // nobody needs to hear about.
  restart_ = PendingRestart{Clock::now() + config_.faults.deafAtStart, config_.startApp};
  downNotified_ = true;
  if (config_.faults.deafAtStart.count() > 0)
    log_.line("instrument", "not answering for " + seconds(config_.faults.deafAtStart));
  timer_ = std::thread([this] { timerLoop(); });
}

void Instrument::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (timer_.joinable()) timer_.join();
}

bool Instrument::isUp() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return up_;
}

std::uint64_t Instrument::generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

App Instrument::runningApp() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return app_;
}

bool Instrument::waitUntilUp(std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, bound, [this] { return up_ || stopping_; });
  return up_;
}

bool Instrument::waitUntilDownAnnounced(std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, bound,
                           [this] { return announcedGeneration_ == generation_ || stopping_; });
}

bool Instrument::lock(const void* owner, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return lockOwner_ == nullptr || lockOwner_ == owner; });
  if (lockOwner_ != nullptr && lockOwner_ != owner) return false;
  lockOwner_ = owner;
  return true;
}

bool Instrument::unlock(const void* owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lockOwner_ != owner || owner == nullptr) return false;
  lockOwner_ = nullptr;
  changed_.notify_all();
  return true;
}

bool Instrument::lockedByOther(const void* owner) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lockOwner_ != nullptr && lockOwner_ != owner;
}

std::uint8_t Instrument::statusSummary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_.empty() ? 0 : 0x04;
}

void Instrument::pushError(ErrorEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  pushErrorLocked(std::move(entry));
}

void Instrument::pushErrorLocked(ErrorEntry entry) {
  log_.line("instrument", "error queued: " + entry.toReply());
  if (errors_.size() < config_.errorQueueDepth) {
    errors_.push_back(std::move(entry));
  } else if (!errors_.empty()) {
    errors_.back() = ErrorEntry{-350, "Queue overflow"};
  }
}

std::optional<std::uint64_t> Instrument::downloadDropPoint(App app) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Faults& f = config_.faults;
  if (dropFired_ || !f.dropDownloadAfter || (f.dropApp && *f.dropApp != app)) return std::nullopt;
  return f.dropDownloadAfter;
}

void Instrument::downloadDropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  dropFired_ = true;
}

bool Instrument::resetDueAfter(CommandId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto due = config_.faults.resetAfter.find(id);
  const std::uint64_t run = ++runs_[id];
  return due != config_.faults.resetAfter.end() && due->second == run;
}

std::optional<std::uint64_t> Instrument::resetBytePoint() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (resetBytesFired_) return std::nullopt;
  return config_.faults.resetAfterBytes;
}

void Instrument::resetBytesFired() {
  std::lock_guard<std::mutex> lock(mutex_);
  resetBytesFired_ = true;
}

std::optional<std::vector<std::uint8_t>> Instrument::storedImage(App app) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return app == App::main ? mainImage_ : subImage_;
}

std::vector<ErrorEntry> Instrument::errorQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

Execution Instrument::execute(const CommandRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  Execution execution;
  execution.readyAt = Clock::now();
  if (!up_ || request.generation != generation_) {
    execution.sessionDead = true;
    return execution;
  }
  if (!parametersFitLocked(request)) return execution;
  switch (request.id) {
    case CommandId::cls:
      errors_.clear();
      break;
    case CommandId::rst:
    case CommandId::wai:
      break;
    case CommandId::updateMain:
      downloadLocked(App::main, request);
      break;
    case CommandId::updateSub:
      downloadLocked(App::sub, request);
      break;
    case CommandId::rebootMain:
      scheduleRestartLocked(App::main);
      execution.sessionDead = true;
      break;
    case CommandId::rebootSub:
      scheduleRestartLocked(App::sub);
      execution.sessionDead = true;
      break;
    default:
      execution.response = queryLocked(request, execution);
  }
  return execution;
}

bool Instrument::parametersFitLocked(const CommandRequest& request) {
  const bool takesBlock = request.id == CommandId::updateMain || request.id == CommandId::updateSub;
  if (takesBlock && request.block == nullptr) {
    pushErrorLocked(request.hasOtherParameter ? ErrorEntry{-104, "Data type error"}
                                              : ErrorEntry{-109, "Missing parameter"});
    return false;
  }
  if (request.hasOtherParameter || (!takesBlock && request.block != nullptr)) {
    pushErrorLocked({-108, "Parameter not allowed"});
    return false;
  }
  return true;
}

std::string Instrument::queryLocked(const CommandRequest& request, Execution& execution) {
  // The n-th error query counts whether or not its answer is replaced.
  std::optional<std::string> injected;
  if (request.id == CommandId::errorQuery) {
    ++errorQueries_;
    const auto at = config_.faults.errorAt.find(errorQueries_);
    if (at != config_.faults.errorAt.end()) injected = at->second.toReply();
  }
  if (request.id == CommandId::opcQuery) {
    execution.readyAt += config_.faults.opcDelay;
    execution.neverReady = config_.faults.opcNever;
  }
  if (injected) return *injected;
  const auto replaced = config_.faults.replies.find(request.id);
  if (replaced != config_.faults.replies.end()) return replaced->second;
  switch (request.id) {
    case CommandId::idnQuery:
      return identityLocked();
    case CommandId::stbQuery:
      return std::to_string((errors_.empty() ? 0 : 0x04) | request.sessionStatus);
    case CommandId::opcQuery:
      return "1";
    case CommandId::errorQuery:
      return nextErrorReplyLocked();
    case CommandId::mainQuery:
      return app_ == App::main ? "1" : "0";
    default:
      return {};
  }
}

std::string Instrument::identityLocked() const {
  const bool main = app_ == App::main;
  return config_.maker + "," + config_.model + "," + config_.serial + "," +
         (main ? "MAIN " : "SUB ") + image::versionText(main ? mainVersion_ : subVersion_);
}

std::string Instrument::nextErrorReplyLocked() {
  if (errors_.empty()) return noError.toReply();
  ErrorEntry head = std::move(errors_.front());
  errors_.erase(errors_.begin());
  return head.toReply();
}

void Instrument::downloadLocked(App app, const CommandRequest& request) {
  // The running application rewrites the other one, never itself.
  if (app == app_) {
    pushErrorLocked({-221, std::string("Settings conflict;") + appName(app) +
                               " image while the " + appName(app) + " application runs"});
    return;
  }
  const std::vector<std::uint8_t>& bytes = *request.block;
  std::optional<std::uint32_t> version;
  if (!config_.acceptAnyImage) {
    const image::Inspection found = image::inspect(bytes.data(), bytes.size());
    std::string problem = found.problem;
    const App imageApp = found.app == image::App::main ? App::main : App::sub;
    if (problem.empty() && imageApp != app)
      problem = std::string("image of the ") + appName(imageApp) + " application";
    if (!problem.empty()) {
      log_.line(request.client, std::string("refused ") + appName(app) + " image: " + problem);
      pushErrorLocked({-222, "Data out of range;" + problem});
      return;
    }
    version = found.version;
  } else {
    const image::Inspection found = image::inspect(bytes.data(), bytes.size());
    if (found.problem.empty()) version = found.version;
  }
  (app == App::main ? mainImage_ : subImage_) = bytes;
  if (version) (app == App::main ? mainVersion_ : subVersion_) = *version;
  log_.line(request.client,
            std::string("stored ") + appName(app) + " image, " + std::to_string(bytes.size()) +
                " bytes" + (version ? ", version " + image::versionText(*version) : ""));
  if (!config_.saveImagesDir.empty()) {
    const std::string path = config_.saveImagesDir + "/" + appName(app) + ".bin";
    if (!writeFileAtomically(path, bytes)) {
      log_.line("instrument", "cannot save the image to " + path);
      std::fprintf(stderr, "benchfw-sim: cannot save the image to %s\n", path.c_str());
    }
  }
}

void Instrument::scheduleRestartLocked(App app) {
  const Faults& f = config_.faults;
  const bool ignored =
      (app == App::main && f.ignoreRestartIntoMain) || (app == App::sub && f.ignoreRestartIntoSub);
  const App comingBack = ignored ? app_ : app;
  up_ = false;
  ++generation_;
  lockOwner_ = nullptr;
  restart_ = PendingRestart{Clock::now() + config_.restartTime, comingBack};
  downNotified_ = false;
  log_.line("instrument", std::string("restarting into ") + appName(app) + " (" +
                              seconds(config_.restartTime) + ")" +
                              (ignored ? std::string(", restart ignored: coming back in ") +
                                             appName(comingBack)
                                       : ""));
  changed_.notify_all();
}

void Instrument::timerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (restart_ && !downNotified_) {
      downNotified_ = true;
      const std::uint64_t announcing = generation_;
      lock.unlock();
      notify(false);
      lock.lock();
      announcedGeneration_ = announcing;
      changed_.notify_all();
      continue;
    }
    if (restart_ && Clock::now() >= restart_->upAt) {
      app_ = restart_->app;
      restart_.reset();
      up_ = true;
      log_.line("instrument", std::string("up, running ") + appName(app_));
      changed_.notify_all();
      lock.unlock();
      notify(true);
      lock.lock();
      continue;
    }
    // Bounded even without a pending restart, so that stop() is never
    // missed for long whatever happens to a notification.
    const auto wakeAt = restart_ ? restart_->upAt : Clock::now() + std::chrono::seconds(1);
    changed_.wait_until(lock, wakeAt);
  }
}

void Instrument::notify(bool up) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  for (InstrumentListener* listener : listeners_) {
    if (up)
      listener->instrumentUp();
    else
      listener->instrumentDown();
  }
}

}  // namespace benchfw::sim
