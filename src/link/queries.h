// The status, identity and state dialogue with the instrument.
#ifndef BENCHFW_LINK_QUERIES_H
#define BENCHFW_LINK_QUERIES_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "visa.h"

namespace benchfw {

class StatusCheck;

// One reply message: up to 1023 characters and a terminating NUL.
inline constexpr std::size_t replyBufferSize = 1024;
// A reply buffer as the reads declare it: those 1024 characters and one
// spare byte. "%#t" is offered all 1024 as its room, and VISA libraries
// differ on whether that room counts the NUL; with the spare byte both
// readings fit, and a reply keeps its first 1023 characters either way.
using ReplyBuffer = char[replyBufferSize + 1];

// Reads one reply message into `replyBuffer` and NUL-terminates it; returns
// its length. The read is bounded: a reply longer than 1023 characters keeps
// its first 1023 and the library discards the rest of that message, so the
// buffer cannot overflow and the next read starts at the next reply.
ViUInt32 readReply(ViSession session, StatusCheck& status, ReplyBuffer& replyBuffer);

// True when the reply is exactly `expected`: same length, same bytes.
// Nothing is trimmed, so a carriage return or a missing sign is a mismatch.
bool replyIs(const char* reply, ViUInt32 length, std::string_view expected);

// Asks for one entry of the instrument's error queue. Unless it is the
// no-error entry, writes "(<tag>) err=<reply>" and throws
// VI_ERROR_SYSTEM_ERROR. `tag` tells which check failed.
void checkInstrumentError(ViSession session, std::int32_t tag);

// Device clear and *CLS, shows the identity and the state reply, checks the
// error queue after each step; true when the main application runs.
bool isMainAppRunning(ViSession session);

}  // namespace benchfw

#endif
