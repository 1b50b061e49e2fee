// Script fragments for the instrument dialogues the updater holds, so each
// test spells out only what it changes.
#ifndef BENCHFW_TESTS_DIALOGUE_H
#define BENCHFW_TESTS_DIALOGUE_H

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "visa_double.h"

namespace benchfw::testing {

inline constexpr ViSession rm = 1;
inline constexpr char resource[] = "TCPIP0::192.0.2.7::5025::SOCKET";
inline const std::string noError = "+0,\"No error\"\n";
inline const std::string identity = "BENCHLAB,BL-7000,SN000123,MAIN 2.5.1\n";

// What an updater operation left behind: what it returned (as an int; -1
// when it returned nothing or threw), the status it threw (VI_SUCCESS when
// none) and what it wrote to standard error.
struct Outcome {
  int result = -1;
  ViStatus thrown = VI_SUCCESS;
  std::string err;
};

template <typename F>
Outcome capture(F f) {
  Outcome o;
  ::testing::internal::CaptureStderr();
  try {
    if constexpr (std::is_void_v<decltype(f())>)
      f();
    else
      o.result = static_cast<int>(f());
  } catch (ViStatus s) {
    o.thrown = s;
  }
  o.err = ::testing::internal::GetCapturedStderr();
  return o;
}

inline std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Step openRm() {
  Step s{Op::openDefaultRM};
  s.session = rm;
  return s;
}

inline Step sleeps() { return call(Op::sleep); }

// An instrument that answers at once: open, poll timeout, status byte, link timeout.
inline std::vector<Step> answeringOpen(ViSession vi) {
  return {opens(vi), call(Op::setAttribute), call(Op::readStb), call(Op::setAttribute)};
}

// One error check: the query and its reply.
inline std::vector<Step> errorCheck(std::string reply = noError) {
  return {call(Op::printf), replies(std::move(reply))};
}

// isMainAppRunning with the given state reply; every error check clean.
inline std::vector<Step> stateQuery(std::string state, std::string idn = identity) {
  return std::vector<Step>{call(Op::clear), call(Op::printf)} + errorCheck() +
         std::vector<Step>{call(Op::printf), replies(std::move(idn))} + errorCheck() +
         std::vector<Step>{call(Op::printf), replies(std::move(state))} + errorCheck();
}

// A download that the instrument takes: header, image, trailer, "*OPC?" reply, error check.
inline std::vector<Step> download() {
  return std::vector<Step>{call(Op::printf), call(Op::bufWrite), call(Op::printf), replies("1\n")} +
         errorCheck();
}

inline std::vector<Step> restart() { return {call(Op::printf)}; }
inline std::vector<Step> closes() { return {call(Op::close)}; }

}  // namespace benchfw::testing

#endif
