// Opens a resource manager and one socket session to a loopback server, and
// closes both (the manager takes the session along) at the end of a test.
#ifndef BENCHFW_TESTS_VISA_SESSION_FIXTURE_H
#define BENCHFW_TESTS_VISA_SESSION_FIXTURE_H

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "visa.h"

namespace benchfw::test {

struct OpenSession {
  explicit OpenSession(const LoopbackServer& server, ViUInt32 timeoutMs = 2000) {
    EXPECT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    EXPECT_EQ(viOpen(rm, server.resource().c_str(), VI_NO_LOCK, 0, &vi), VI_SUCCESS);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeoutMs), VI_SUCCESS);
  }
  ~OpenSession() { viClose(rm); }
  OpenSession(const OpenSession&) = delete;
  OpenSession& operator=(const OpenSession&) = delete;

  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
};

}  // namespace benchfw::test

#endif
