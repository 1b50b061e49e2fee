#include "link/connection.h"

#include <cstdio>

#include "link/clock.h"
#include "link/status_check.h"

namespace benchfw {
namespace {

// How long each loop keeps trying. linkTimeout is read as milliseconds here
// too: an instrument that has not come back from a restart within two
// minutes is not coming back, and waiting the 33 hours the same number means
// in seconds would only hide that.
constexpr std::int32_t retryWindowSeconds = linkTimeout / 1000;
constexpr std::uint32_t retryPauseMs = 1000;
// Bounds only the wait for the exclusive lock, not the connection itself.
constexpr ViUInt32 openTimeoutMs = 100;
// Short, so that each poll of an instrument that is still starting up
// returns quickly and is retried.
constexpr ViUInt32 pollTimeoutMs = 1000;

struct Attempt {
  ViStatus status;
  bool succeeded;
};

// Runs `attempt` until it succeeds or the window has passed, pausing after
// each failure, and returns the last attempt's status. The time test comes
// before every attempt, so no attempt starts after the window; a successful
// attempt is never followed by a pause.
template <typename F>
ViStatus retryWithinWindow(F attempt) {
  const std::int32_t start = clockSeconds();
  ViStatus last = VI_ERROR_TMO;
  while (clockSeconds() - start < retryWindowSeconds) {
    const Attempt a = attempt();
    last = a.status;
    if (a.succeeded) break;
    sleepMilliseconds(retryPauseMs);
  }
  return last;
}

ViStatus openExclusive(ViSession resourceManager, ViSession& session,
                       const char* resource) {
  const ViStatus status = retryWithinWindow([&] {
    const ViStatus s =
        viOpen(resourceManager, resource, VI_EXCLUSIVE_LOCK, openTimeoutMs, &session);
    return Attempt{s, s == VI_SUCCESS && session != VI_NULL};
  });
  // A library that kept reporting success without a session has not opened
  // anything; going on would poll a null session for another two minutes.
  if (status == VI_SUCCESS && session == VI_NULL) return VI_ERROR_INV_OBJECT;
  return status;
}

ViStatus waitUntilAnswering(ViSession session) {
  ViUInt16 statusByte = 0;  // only the read's success matters
  return retryWithinWindow([&] {
    const ViStatus s = viReadSTB(session, &statusByte);
    return Attempt{s, s == VI_SUCCESS};
  });
}

}  // namespace

void openInstrument(ViSession resourceManager, ViSession& session, const char* resource) {
  StatusCheck status;
  std::fprintf(stderr, "Open Instrument(%s)\n", resource);
  status.check(openExclusive(resourceManager, session, resource));
  // Not checked: the poll below shows whether the instrument answers.
  (void)viSetAttribute(session, VI_ATTR_TMO_VALUE, pollTimeoutMs);
  status.check(waitUntilAnswering(session));
  status.check(viSetAttribute(session, VI_ATTR_TMO_VALUE,
                              static_cast<ViAttrState>(linkTimeout)));
}

}  // namespace benchfw
