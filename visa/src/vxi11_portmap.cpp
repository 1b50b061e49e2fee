#include "vxi11_portmap.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "rpc/vxi11_wire.h"
#include "vxi11_rpc_channel.h"

namespace benchfw::visa {

std::uint16_t portmapperPort() {
  const char* text = std::getenv(kPortmapperPortVariable);
  if (!text || !*text) return rpc::portmap::kStandardPort;
  unsigned value = 0;
  const char* end = text + std::strlen(text);
  const auto [at, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || at != end || value == 0 || value > 0xFFFF)
    return rpc::portmap::kStandardPort;
  return static_cast<std::uint16_t>(value);
}

ViStatus lookupCorePort(const std::string& host, const Deadline& deadline,
                        std::uint16_t* port) {
  using namespace rpc;
  FileDescriptor fd;
  if (connectWithTimeout(host, portmapperPort(), deadline.remainingMs(), &fd) != VI_SUCCESS)
    return VI_ERROR_RSRC_NFOUND;
  // A GETPORT reply is a few dozen bytes; anything bigger is not a portmapper.
  RpcChannel channel(std::move(fd), portmap::kProgram, portmap::kVersion, 512, 1);
  portmap::putMapping(channel.begin(portmap::kProcGetPort).xdr(),
                      {vxi11::kCoreProgram, vxi11::kCoreVersion, portmap::kProtTcp, 0});
  RpcOutcome outcome{};
  XdrReader results(nullptr, 0);
  std::uint32_t found = 0;
  if (channel.call(nullptr, 0, deadline, &outcome, &results) != VI_SUCCESS ||
      outcome != RpcOutcome::success || !results.getU32(&found) || found == 0 ||
      found > 0xFFFF)
    return VI_ERROR_RSRC_NFOUND;
  *port = static_cast<std::uint16_t>(found);
  return VI_SUCCESS;
}

}  // namespace benchfw::visa
