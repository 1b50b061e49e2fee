#include "sim/session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/commands.h"

namespace benchfw::sim {
namespace {

using Clock = std::chrono::steady_clock;

// A waiting read looks at the instrument this often, so that a restart
// started by another client ends it promptly.
constexpr std::chrono::milliseconds waitSlice{50};

constexpr std::uint8_t mavBit = 0x10;

// How long a dropped session waits for the transports to refuse the port.
constexpr std::chrono::milliseconds announceBound{2000};

}  // namespace

Session::Session(Instrument& instrument, std::string client, ResponseMode mode)
    : instrument_(instrument),
      client_(std::move(client)),
      mode_(mode),
      generation_(instrument.generation()) {}

Session::~Session() = default;

bool Session::alive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return aliveLocked();
}

bool Session::aliveLocked() const {
  return !dropped_ && instrument_.isUp() && instrument_.generation() == generation_;
}

bool Session::resetRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reset_;
}

void Session::resetLocked(const std::string& why) {
  dropped_ = true;
  reset_ = true;
  instrument_.log().line(client_, "resetting the connection " + why + " (fault)");
  parser_.reset();
  units_.clear();
}

bool Session::deliver(const std::uint8_t* data, std::size_t size, bool end) {
  const bool alive = deliverLocked(data, size, end);
  // Outside the session's lock: a listener may look at its sessions.
  if (!alive) instrument_.waitUntilDownAnnounced(announceBound);
  return alive;
}

bool Session::deliverLocked(const std::uint8_t* data, std::size_t size, bool end) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!aliveLocked()) return false;
  // The reset-after-bytes fault: the bytes up to the point are taken as
  // usual, the rest never arrives.
  const auto resetPoint = instrument_.resetBytePoint();
  const bool resetting = resetPoint && *resetPoint >= received_ && *resetPoint - received_ <= size;
  if (resetting) {
    size = static_cast<std::size_t>(*resetPoint - received_);
    end = false;
  }
  received_ += size;
  if (size > 0 && parser_.atMessageStart()) messageStartingLocked();
  const auto fed = parser_.feed(data, size, end, *this);
  if (resetting && aliveLocked()) {
    instrument_.resetBytesFired();
    resetLocked("after " + std::to_string(received_) + " bytes");
  }
  if (fed == ProgramParser::FeedResult::stopped) {
    dropped_ = true;
    instrument_.downloadDropped();
    instrument_.log().line(client_, "dropping the connection in the middle of a download (fault)");
    parser_.reset();
    units_.clear();
  }
  responded_.notify_all();
  return aliveLocked();
}

// A new message while an earlier response is still unread: the instrument
// throws the response away and says so, as IEEE 488.2 asks. A transport
// that pushes responses has read every ready one already.
void Session::messageStartingLocked() {
  const auto now = Clock::now();
  const bool interrupted = std::any_of(output_.begin(), output_.end(), [&](const Response& r) {
    return mode_ == ResponseMode::polled || r.neverReady || r.readyAt > now;
  });
  if (!interrupted) return;
  output_.clear();
  instrument_.pushError({-410, "Query INTERRUPTED"});
}

void Session::unitParsed(ProgramUnit& unit) { units_.push_back(std::move(unit)); }

std::optional<std::uint64_t> Session::blockStarting(std::string_view header) {
  const auto id = resolveHeader(header);
  if (id == CommandId::updateMain) return instrument_.downloadDropPoint(App::main);
  if (id == CommandId::updateSub) return instrument_.downloadDropPoint(App::sub);
  return std::nullopt;
}

void Session::messageEnded(const std::string& shown, bool /*complete*/) {
  instrument_.log().received(client_, shown);
  std::vector<ProgramUnit> units = std::move(units_);
  units_.clear();
  Response response;
  response.readyAt = Clock::now();
  bool hasResponse = false;
  bool unterminated = false;
  for (const ProgramUnit& unit : units) {
    if (!aliveLocked()) return;
    if (unit.error) {
      instrument_.pushError(*unit.error);
      continue;
    }
    const auto id = resolveHeader(unit.header);
    if (!id) {
      instrument_.pushError({-113, "Undefined header"});
      continue;
    }
    CommandRequest request;
    request.id = *id;
    request.block = unit.hasBlock ? &unit.block : nullptr;
    request.hasOtherParameter = !unit.parameters.empty();
    request.sessionStatus = statusByteLocked() & mavBit;
    request.generation = generation_;
    request.client = client_;
    const Execution done = instrument_.execute(request);
    if (instrument_.resetDueAfter(*id)) {
      resetLocked(std::string("after ") + canonicalHeader(*id));
      return;
    }
    if (done.sessionDead) {
      dropped_ = true;
      return;
    }
    if (!done.response) continue;
    // Responses of one message form one response message, ";"-separated.
    if (hasResponse) response.bytes += ';';
    response.bytes += *done.response;
    response.readyAt = std::max(response.readyAt, done.readyAt);
    response.neverReady = response.neverReady || done.neverReady;
    unterminated = unterminated || instrument_.config().faults.unterminated.count(*id) > 0;
    hasResponse = true;
  }
  if (!hasResponse) return;
  if (!unterminated) response.bytes += '\n';
  output_.push_back(std::move(response));
}

bool Session::frontReadyLocked(Clock::time_point now) const {
  return !output_.empty() && !output_.front().neverReady && output_.front().readyAt <= now;
}

Session::ReadResult Session::readResponse(std::uint8_t* out, std::size_t capacity,
                                          std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  ReadResult result;
  while (true) {
    if (!aliveLocked()) {
      result.status = ReadResult::Status::dead;
      return result;
    }
    const auto now = Clock::now();
    if (frontReadyLocked(now)) {
      Response& front = output_.front();
      const std::size_t n = std::min(capacity, front.bytes.size() - front.taken);
      std::memcpy(out, front.bytes.data() + front.taken, n);
      instrument_.log().sent(client_, std::string_view(front.bytes).substr(front.taken, n));
      front.taken += n;
      result.status = ReadResult::Status::ok;
      result.size = n;
      result.end = front.taken == front.bytes.size();
      if (result.end) output_.pop_front();
      return result;
    }
    if (now >= deadline) {
      if (output_.empty()) instrument_.pushError({-420, "Query UNTERMINATED"});
      result.status = ReadResult::Status::timeout;
      return result;
    }
    auto wakeAt = std::min(deadline, now + waitSlice);
    if (!output_.empty() && !output_.front().neverReady)
      wakeAt = std::min(wakeAt, output_.front().readyAt);
    responded_.wait_until(lock, wakeAt);
  }
}

bool Session::takeReadyOutput(std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool appended = false;
  const auto now = Clock::now();
  while (frontReadyLocked(now)) {
    Response& front = output_.front();
    const std::string_view rest = std::string_view(front.bytes).substr(front.taken);
    instrument_.log().sent(client_, rest);
    out.append(rest);
    output_.pop_front();
    appended = true;
  }
  return appended;
}

std::uint8_t Session::statusByte() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusByteLocked();
}

// A transport that pushes responses has as good as read every ready one,
// so MAV stays clear there.
std::uint8_t Session::statusByteLocked() const {
  const bool mav = mode_ == ResponseMode::polled && frontReadyLocked(Clock::now());
  return instrument_.statusSummary() | (mav ? mavBit : 0);
}

void Session::deviceClear() {
  std::lock_guard<std::mutex> lock(mutex_);
  parser_.reset();
  units_.clear();
  output_.clear();
  instrument_.log().line(client_, "device clear");
  responded_.notify_all();
}

}  // namespace benchfw::sim
