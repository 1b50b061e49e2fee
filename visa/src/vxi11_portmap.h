// Finding the VXI-11 core channel: GETPORT over TCP to the instrument's
// portmapper.
//
// The portmapper normally listens on port 111. The environment variable
// BENCHFW_VXI11_PORTMAPPER_PORT (a decimal port number) points our library
// at another port instead: a convenience for test set-ups where nothing may
// bind 111. Unset or not a valid port: 111.
#ifndef BENCHFW_VISA_VXI11_PORTMAP_H
#define BENCHFW_VISA_VXI11_PORTMAP_H

#include <cstdint>
#include <string>

#include "socket_io.h"
#include "visa.h"

namespace benchfw::visa {

inline constexpr const char* kPortmapperPortVariable = "BENCHFW_VXI11_PORTMAPPER_PORT";

std::uint16_t portmapperPort();

// Asks `host`'s portmapper for the TCP port of the VXI-11 core program.
// Any failure, and a port of 0 (nothing registered), is VI_ERROR_RSRC_NFOUND:
// there is no VXI-11 instrument there.
ViStatus lookupCorePort(const std::string& host, const Deadline& deadline,
                        std::uint16_t* port);

}  // namespace benchfw::visa

#endif
