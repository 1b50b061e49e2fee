#ifndef BENCHFW_DRIVER_RUN_FRAME_H
#define BENCHFW_DRIVER_RUN_FRAME_H
namespace benchfw {
int runFrame(int argc, char** argv);
}
#endif
