#include "link/download.h"

#include <cstdint>
#include <cstdio>

#include "link/commands.h"
#include "link/queries.h"
#include "link/status_check.h"
#include "payload/images.h"

namespace benchfw {
namespace {

struct Image {
  const char* app;  // as the announcement names it
  const char* command;
  const unsigned char* bytes;
  ViUInt32 size;
  std::int32_t errorTag;
};

// The instrument receives, as one message: the command, one space, "#9",
// the count in nine digits, the image, and a line feed carrying END. The
// header is left in the formatted-write buffer without a line feed so the
// image follows its last digit directly; the whole image goes to the library
// in one call straight from where it lies, and LF and NUL bytes inside it
// are data, counted by the block header. "*OPC?" then goes as a second
// message, and its reply is the wait for the instrument to finish.
void download(ViSession session, const Image& image) {
  StatusCheck status;
  ReplyBuffer replyBuffer;
  ViUInt32 written = 0;  // the status alone decides

  std::fprintf(stderr, "Update %s app (%d bytes) ...", image.app, static_cast<int>(image.size));
  status.check(viPrintf(session, "%s #9%09d", image.command, static_cast<int>(image.size)));
  status.check(viBufWrite(session, image.bytes, image.size, &written));
  status.check(viPrintf(session, "\n*OPC?\n"));
  readReply(session, status, replyBuffer);
  checkInstrumentError(session, image.errorTag);
  std::fprintf(stderr, "...Done\n");
}

void restart(ViSession session, const char* command) {
  StatusCheck status;
  status.check(viPrintf(session, "%s\n", command));
}

}  // namespace

void updateSubApp(ViSession session) {
  download(session, {"sub", cmdUpdateSub, subAppImage, subAppImageSize, 131});
}

void updateMainApp(ViSession session) {
  download(session, {"main", cmdUpdateMain, mainAppImage, mainAppImageSize, 148});
}

void rebootMainApp(ViSession session) { restart(session, cmdRebootMain); }

void rebootSubApp(ViSession session) { restart(session, cmdRebootSub); }

}  // namespace benchfw
