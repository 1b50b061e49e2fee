#include "driver/run_frame.h"

int main(int argc, char** argv) { return benchfw::runFrame(argc, argv); }
