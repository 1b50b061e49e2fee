#include "link/queries.h"

#include <cstdio>
#include <cstring>

#include "link/commands.h"
#include "link/status_check.h"

namespace benchfw {
namespace {

constexpr std::string_view noErrorReply = "+0,\"No error\"\n";
constexpr std::string_view mainRunningReply = "1\n";

}  // namespace

ViUInt32 readReply(ViSession session, StatusCheck& status, ReplyBuffer& replyBuffer) {
  // "%#t" takes the room on entry and gives back the count stored; we
  // terminate ourselves at that count, cut to 1023 characters.
  ViUInt32 length = replyBufferSize;
  status.check(viScanf(session, "%#t", &length, replyBuffer));
  if (length > replyBufferSize - 1) length = replyBufferSize - 1;
  replyBuffer[length] = '\0';
  return length;
}

bool replyIs(const char* reply, ViUInt32 length, std::string_view expected) {
  return length == expected.size() && std::memcmp(reply, expected.data(), length) == 0;
}

void checkInstrumentError(ViSession session, std::int32_t tag) {
  StatusCheck status;
  ReplyBuffer replyBuffer;
  status.check(viPrintf(session, ":SYST:ERR?\n"));
  const ViUInt32 length = readReply(session, status, replyBuffer);
  if (replyIs(replyBuffer, length, noErrorReply)) return;
  std::fprintf(stderr, "(%d) err=%s\n", static_cast<int>(tag), replyBuffer);
  status.check(VI_ERROR_SYSTEM_ERROR);
}

bool isMainAppRunning(ViSession session) {
  StatusCheck status;
  ReplyBuffer replyBuffer;

  status.check(viClear(session));
  status.check(viPrintf(session, "*CLS\n"));
  checkInstrumentError(session, 79);

  std::fprintf(stderr, "*IDN? = ");
  status.check(viPrintf(session, "*IDN?\n"));
  readReply(session, status, replyBuffer);
  std::fprintf(stderr, "%s", replyBuffer);
  checkInstrumentError(session, 87);

  std::fprintf(stderr, "%s? = ", cmdQueryMain);
  status.check(viPrintf(session, "%s?\n", cmdQueryMain));
  const ViUInt32 length = readReply(session, status, replyBuffer);
  std::fprintf(stderr, "%s", replyBuffer);
  checkInstrumentError(session, 95);

  return replyIs(replyBuffer, length, mainRunningReply);
}

}  // namespace benchfw
