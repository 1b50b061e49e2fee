#include "link/status_check.h"

namespace benchfw {

ViStatus StatusCheck::check(ViStatus status) {
  if (status != VI_SUCCESS) throw status;
  return status;
}

SessionCloser::~SessionCloser() { (void)viClose(session_); }

}  // namespace benchfw
