#include <time.h>

#include <cerrno>

#include "link/clock.h"

namespace benchfw {

void sleepMilliseconds(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal that interrupts the sleep must not shorten the wait the
  // instrument's restart needs.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::int32_t clockSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int32_t>(now.tv_sec);
}

}  // namespace benchfw
