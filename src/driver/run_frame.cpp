#include "driver/run_frame.h"
#include <cstdio>
namespace benchfw {
int runFrame(int argc, char** argv) {
  std::fprintf(stderr, "usage : %s GPIB0::17::INSTR\n", argc > 0 ? argv[0] : "benchfw");
  return 1;
}
}
