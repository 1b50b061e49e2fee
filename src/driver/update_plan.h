// The three phases of an update: the sub application's image while the main
// application runs, then the main application's image while the sub
// application runs, then the check that the main application is back.
#ifndef BENCHFW_DRIVER_UPDATE_PLAN_H
#define BENCHFW_DRIVER_UPDATE_PLAN_H

#include "visa.h"

namespace benchfw {

// Returns 0 when the instrument ends up running the main application, 1
// when a phase finds the wrong one. A failing VISA status passes through.
int runUpdatePlan(ViSession resourceManager, const char* resource);

}  // namespace benchfw

#endif
