// Opening the instrument: retried once a second until it answers, because
// the update plan calls this while the instrument may still be restarting.
#ifndef BENCHFW_LINK_CONNECTION_H
#define BENCHFW_LINK_CONNECTION_H

#include <cstdint>

#include "visa.h"

namespace benchfw {

// The sessions' I/O timeout in milliseconds once the instrument answers. It
// covers the instrument's processing of a whole image before it answers
// "*OPC?".
inline constexpr std::int32_t linkTimeout = 120000;

// Opens `resource` with an exclusive lock into `session`, waits until the
// instrument answers a status-byte read and sets the I/O timeout to
// linkTimeout. Writes "Open Instrument(<resource>)". Throws the last status
// when the instrument has not answered within the retry window.
//
// The session is written into the caller's variable by every open attempt,
// so the caller holds it whether this returns or throws; a session this
// opened and then failed on is released with the resource manager session.
void openInstrument(ViSession resourceManager, ViSession& session, const char* resource);

}  // namespace benchfw

#endif
