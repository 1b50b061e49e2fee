// Sending a firmware image and restarting the instrument into an
// application.
#ifndef BENCHFW_LINK_DOWNLOAD_H
#define BENCHFW_LINK_DOWNLOAD_H

#include "visa.h"

namespace benchfw {

// Each download sends its image as one definite-length block behind its
// command, waits for the instrument to answer "*OPC?" (the instrument's
// whole processing of the image, bounded by the I/O timeout) and checks the
// error queue. It writes "Update <app> app (<size> bytes) ..." before and
// "...Done" after.
void updateSubApp(ViSession session);
void updateMainApp(ViSession session);

// Each restart writes its command and nothing else: the instrument drops the
// session, so the caller closes it and waits before opening a new one.
void rebootMainApp(ViSession session);
void rebootSubApp(ViSession session);

}  // namespace benchfw

#endif
