// The updater's operating-system seam: a blocking sleep and a clock. The
// program links system_clock.cpp; tests link a virtual clock whose sleeps
// advance it instantly.
#ifndef BENCHFW_LINK_CLOCK_H
#define BENCHFW_LINK_CLOCK_H

#include <cstdint>

namespace benchfw {

// Blocks the calling thread for `ms` milliseconds (0: returns at once).
void sleepMilliseconds(std::uint32_t ms);

// Whole seconds of a monotonic clock with an arbitrary origin. Retry windows
// measure elapsed time with it so that setting the wall clock during an
// update neither stretches nor cuts them.
std::int32_t clockSeconds();

}  // namespace benchfw

#endif
