// The updater's entry point and the one place where failures are caught.
#ifndef BENCHFW_DRIVER_RUN_FRAME_H
#define BENCHFW_DRIVER_RUN_FRAME_H

namespace benchfw {

// Checks the command line (exactly one argument, the VISA resource string),
// opens the resource manager session, runs the update plan and turns every
// outcome into the exit status: 0 when the instrument ends up running the
// main application, 1 otherwise. All output goes to standard error.
int runFrame(int argc, char** argv);

}  // namespace benchfw

#endif
