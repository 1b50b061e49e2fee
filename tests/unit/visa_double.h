// A scripted stand-in for the VISA library and the clock, linked into the
// updater's unit tests in place of the real ones.
//
// A test lists the calls it expects, in order, each with the double's answer
// (status, session handle, reply bytes, time the call takes). Any call that
// does not match the next expected one fails the test. Every call is
// recorded with its arguments, and the bytes that viPrintf and viBufWrite
// produce are gathered per session into messages, cut where a line feed of
// a viPrintf format asserted END, as an instrument would receive them.
#ifndef BENCHFW_TESTS_VISA_DOUBLE_H
#define BENCHFW_TESTS_VISA_DOUBLE_H

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "visa.h"

namespace benchfw::testing {

enum class Op { openDefaultRM, open, close, setAttribute, readStb, clear, printf, bufWrite, scanf, sleep };

// One expected call and how the double answers it.
struct Step {
  Step(Op o, ViStatus s = VI_SUCCESS) : op(o), status(s) {}
  Op op;
  ViStatus status = VI_SUCCESS;
  ViSession session = VI_NULL;  // handed out by viOpenDefaultRM / viOpen
  std::string reply;            // viScanf: the whole reply message
  ViUInt32 reportedCount = 0;   // viBufWrite: count to report (0: all)
  std::uint32_t takesMs = 0;    // virtual time the call takes
};

// One call the updater made.
struct Call {
  explicit Call(Op o) : op(o) {}
  Op op;
  ViSession session = VI_NULL;
  ViStatus returned = VI_SUCCESS;
  std::string text;  // resource, format or formatted bytes
  ViAccessMode mode = 0;
  ViUInt32 timeout = 0;
  ViAttr attr = 0;
  ViAttrState value = 0;
  const unsigned char* data = nullptr;
  ViUInt32 count = 0;
  std::uint32_t ms = 0;     // sleep
  std::int64_t atMs = 0;    // virtual time when the call was made
  long stderrAt = -1;       // bytes on standard error when it was made
};

// Bytes the instrument received between two END indicators.
struct Message {
  ViSession session;
  std::string bytes;
};

class Script {
 public:
  Script();   // becomes the double's current script
  ~Script();  // checks that every expected call was made

  Script& expect(Step step);
  Script& expect(std::initializer_list<Step> steps);
  Script& expect(const std::vector<Step>& steps);

  const std::vector<Call>& calls() const { return calls_; }
  // Messages that ended with END, in the order they ended.
  const std::vector<Message>& messages() const { return messages_; }
  // Bytes written after the last END of a session (should be none).
  std::string unterminated(ViSession session) const;
  // Sessions opened and not yet closed.
  std::vector<ViSession> openSessions() const { return open_; }
  std::int64_t nowMs() const { return nowMs_; }
  void setNowMs(std::int64_t ms) { nowMs_ = ms; }

  // One line per call, e.g. `viOpen(1, "TCPIP0::h::5025::SOCKET", 1, 100) -> 0 vi=7`.
  // With `ops`, only calls of those kinds.
  std::string transcript(std::initializer_list<Op> ops = {}) const;

  // Used by the double's entry points.
  static Script& current();
  Step next(Op op);
  Call& record(Call call);
  void written(ViSession session, const std::string& bytes, bool end);
  void opened(ViSession session) { open_.push_back(session); }
  bool closed(ViSession session);
  void advance(std::uint32_t ms) { nowMs_ += ms; }

 private:
  std::deque<Step> expected_;
  std::vector<Call> calls_;
  std::vector<Message> messages_;
  std::vector<std::pair<ViSession, std::string>> pending_;
  std::vector<ViSession> open_;
  std::int64_t nowMs_ = 0;
};

// Step builders, so scripts read as the dialogue they describe.
Step call(Op op, ViStatus status = VI_SUCCESS);
Step opens(ViSession session, ViStatus status = VI_SUCCESS);  // viOpen / viOpenDefaultRM
Step replies(std::string reply);                               // viScanf
Step fails(Op op, ViStatus status);

// Escapes bytes for transcripts and failure messages: \n, \r, \0, \xNN.
std::string printable(const std::string& bytes);

}  // namespace benchfw::testing

#endif
