#include "driver/update_plan.h"

#include <cstdint>
#include <cstdio>

#include "link/clock.h"
#include "link/connection.h"
#include "link/download.h"
#include "link/queries.h"
#include "link/status_check.h"

namespace benchfw {
namespace {

// Time the instrument needs to go down after a restart command, before the
// next phase starts trying to reach it again.
constexpr std::uint32_t subRestartWaitMs = 5000;
constexpr std::uint32_t mainRestartWaitMs = 10000;

// Phase 1: whichever application runs. If it is the main one, replace the
// sub application and restart into it. Returns the wait before phase 2.
std::uint32_t replaceSubAppIfMainRuns(ViSession resourceManager, ViSession& session,
                                      const char* resource) {
  openInstrument(resourceManager, session, resource);
  SessionCloser closer(session);
  if (!isMainAppRunning(session)) return 0;
  updateSubApp(session);
  rebootSubApp(session);
  return subRestartWaitMs;
}

// Phase 2: the sub application must run; replace the main application and
// restart into it. False when the main application still runs.
bool replaceMainApp(ViSession resourceManager, ViSession& session, const char* resource) {
  openInstrument(resourceManager, session, resource);
  SessionCloser closer(session);
  if (isMainAppRunning(session)) {
    std::fprintf(stderr, "Main app is running.  Sub app expected.\n");
    return false;
  }
  updateMainApp(session);
  rebootMainApp(session);
  return true;
}

// Phase 3: the main application must be back.
bool mainAppIsBack(ViSession resourceManager, ViSession& session, const char* resource) {
  openInstrument(resourceManager, session, resource);
  SessionCloser closer(session);
  if (isMainAppRunning(session)) return true;
  std::fprintf(stderr, "Sub app is running.  Main app expected.\n");
  return false;
}

}  // namespace

// Each phase closes its session before the wait that follows it, so no
// session is open while the instrument restarts and never two at once.
int runUpdatePlan(ViSession resourceManager, const char* resource) {
  ViSession session = VI_NULL;
  sleepMilliseconds(replaceSubAppIfMainRuns(resourceManager, session, resource));
  if (!replaceMainApp(resourceManager, session, resource)) return 1;
  sleepMilliseconds(mainRestartWaitMs);
  return mainAppIsBack(resourceManager, session, resource) ? 0 : 1;
}

}  // namespace benchfw
