// Command-line settings of the simulator's VXI-11 service.
#ifndef BENCHFW_SIM_VXI11_OPTIONS_H
#define BENCHFW_SIM_VXI11_OPTIONS_H

#include <cstdint>

namespace benchfw::sim {

struct Vxi11Options {
  bool enabled = false;                 // --vxi11
  std::uint16_t portmapperPort = 111;   // --portmapper-port (0: a free one)
  std::uint16_t corePort = 0;           // --vxi11-port (0: a free one)
  // --max-recv-size: what create_link advertises; at least the 1024 bytes
  // every VXI-11 server must take, at most what we hold in memory per call.
  std::uint32_t maxRecvSize = 1u << 20;
  static constexpr std::uint32_t kMinRecvSize = 1024;
  static constexpr std::uint32_t kMaxRecvSize = 64u << 20;
};

}  // namespace benchfw::sim

#endif
