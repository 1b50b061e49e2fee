// The updater's two conventions for VISA results and sessions.
//
// StatusCheck is the one place where a VISA status becomes a failure: check()
// lets VI_SUCCESS through and throws anything else as the ViStatus itself.
// Positive completion codes and warnings are thrown like errors, because a
// firmware download that "succeeded with a warning" is not one we trust.
// Only the run frame catches.
//
// SessionCloser owns one session and closes it when it goes out of scope, so
// every way out of a phase or of the run closes what was opened, newest
// first. It is never copied, moved or handed on.
#ifndef BENCHFW_LINK_STATUS_CHECK_H
#define BENCHFW_LINK_STATUS_CHECK_H

#include "visa.h"

namespace benchfw {

class StatusCheck {
 public:
  StatusCheck() = default;
  // Returns VI_SUCCESS; throws any other status.
  ViStatus check(ViStatus status);
};

class SessionCloser {
 public:
  explicit SessionCloser(ViSession session) : session_(session) {}
  // Closes the session once; a failing close is deliberately silent so that
  // a close during unwinding can never raise a second failure.
  ~SessionCloser();

  SessionCloser(const SessionCloser&) = delete;
  SessionCloser& operator=(const SessionCloser&) = delete;

 private:
  const ViSession session_;
};

}  // namespace benchfw

#endif
