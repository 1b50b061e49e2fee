#include "driver/run_frame.h"

#include <cstdio>

#include "driver/update_plan.h"
#include "link/status_check.h"
#include "visa.h"

namespace benchfw {
namespace {

const char* programName(int argc, char** argv) {
  if (argc > 0 && argv && argv[0] && argv[0][0] != '\0') return argv[0];
  return "benchfw";
}

}  // namespace

int runFrame(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage : %s GPIB0::17::INSTR\n", programName(argc, argv));
    return 1;
  }
  const char* resource = argv[1];
  try {
    StatusCheck status;
    ViSession resourceManager = VI_NULL;
    std::fprintf(stderr, "Open VISA\n");
    status.check(viOpenDefaultRM(&resourceManager));
    // Closing the resource manager session also closes any instrument
    // session that a failed open left without a closer of its own.
    SessionCloser closer(resourceManager);
    return runUpdatePlan(resourceManager, resource);
  } catch (ViStatus) {
    // The closers have run by now, newest first. The value itself is not
    // shown: the instrument's own error reply, if any, was written already.
    std::fprintf(stderr, "\nVISA error\n");
    return 1;
  }
}

}  // namespace benchfw
