// How fast a block download goes through our VISA library to an
// instrument: the updater's calls (header, viBufWrite of the block, "\n*OPC?\n",
// the reply), repeated, with the rate printed. Against benchfw-sim over
// VXI-11 this shows what the link's maxRecvSize costs, e.g.
//
//   benchfw-sim --vxi11 --accept-any-image --max-recv-size 4096 &
//   vxi11_throughput TCPIP0::127.0.0.1::inst0::INSTR 16 5
//
// (under tests/netns/run_in_netns.sh when port 111 is not free).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "visa.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s RESOURCE MEBIBYTES REPEATS\n", argv[0]);
    return 2;
  }
  const ViUInt32 size = static_cast<ViUInt32>(std::strtoul(argv[2], nullptr, 10)) << 20;
  const int repeats = std::atoi(argv[3]);
  std::vector<unsigned char> block(size);
  for (ViUInt32 i = 0; i < size; ++i) block[i] = static_cast<unsigned char>(i * 2654435761u >> 24);

  ViSession rm = VI_NULL, vi = VI_NULL;
  if (viOpenDefaultRM(&rm) != VI_SUCCESS || viOpen(rm, argv[1], VI_NO_LOCK, 0, &vi) != VI_SUCCESS ||
      viSetAttribute(vi, VI_ATTR_TMO_VALUE, 120000) != VI_SUCCESS) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    ViUInt32 written = 0;
    char reply[64];
    ViUInt32 length = sizeof reply - 1;
    if (viPrintf(vi, "%s #9%09d", ":DIAG:HW:HOST:FW:UPD:SUB", static_cast<int>(size)) != VI_SUCCESS ||
        viBufWrite(vi, block.data(), size, &written) != VI_SUCCESS ||
        viPrintf(vi, "\n*OPC?\n") != VI_SUCCESS || viScanf(vi, "%#t", &length, reply) != VI_SUCCESS) {
      std::fprintf(stderr, "download failed\n");
      return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%u bytes in %.3f s: %.1f MiB/s\n", static_cast<unsigned>(size), seconds,
                size / seconds / (1 << 20));
  }
  viClose(rm);
  return 0;
}
