// viPrintf and viScanf format interpreters. Both are written here rather
// than handed to the C library's printf/scanf: the format may come from
// anywhere, replies come from the instrument, and VISA's own rules (a line
// feed in the format ends a message; %t reads to the end of a reply) have
// no C library equivalent.
#ifndef BENCHFW_VISA_FORMATTED_IO_H
#define BENCHFW_VISA_FORMATTED_IO_H

#include <cstdarg>

#include "session.h"
#include "visa.h"

namespace benchfw::visa {

// Longest string a %t, %T or %s without a width or '#' stores (plus the
// terminating NUL): the caller's buffer size is unknown, so a reply is cut
// to fit the 1024-byte buffers that SCPI replies are read into, and the
// rest of that reply is read and dropped.
constexpr std::size_t kUnboundedStringLimit = 1023;

// Renders the whole format first, so that a bad format or argument sends
// nothing, then writes it: each line feed of the format ends a message.
ViStatus formattedWrite(Session& session, const char* format, va_list args);

ViStatus formattedRead(Session& session, const char* format, va_list args);

}  // namespace benchfw::visa

#endif
