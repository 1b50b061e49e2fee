#include "visa_double.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "link/clock.h"
#include "payload/images.h"

namespace benchfw::testing {
namespace {

Script* active = nullptr;

const char* opName(Op op) {
  switch (op) {
    case Op::openDefaultRM: return "viOpenDefaultRM";
    case Op::open: return "viOpen";
    case Op::close: return "viClose";
    case Op::setAttribute: return "viSetAttribute";
    case Op::readStb: return "viReadSTB";
    case Op::clear: return "viClear";
    case Op::printf: return "viPrintf";
    case Op::bufWrite: return "viBufWrite";
    case Op::scanf: return "viScanf";
    case Op::sleep: return "sleep";
  }
  return "?";
}

std::string blockName(const unsigned char* data) {
  if (data == mainAppImage) return "mainAppImage";
  if (data == subAppImage) return "subAppImage";
  return "other";
}

std::string attrName(ViAttr attr) {
  return attr == VI_ATTR_TMO_VALUE ? "TMO_VALUE" : std::to_string(attr);
}

// Formats the way a VISA library does for the conversions the updater uses
// (%s, %d with flags and width, %%), and reports where a line feed of the
// format itself asserts END. Anything else fails the test.
void format(const char* fmt, va_list args, std::vector<std::pair<std::string, bool>>* pieces) {
  std::string current;
  for (const char* p = fmt; *p; ++p) {
    if (*p == '\n') {
      current += '\n';
      pieces->emplace_back(current, true);
      current.clear();
    } else if (*p != '%') {
      current += *p;
    } else if (p[1] == '%') {
      current += '%';
      ++p;
    } else if (p[1] == 's') {
      current += va_arg(args, const char*);
      ++p;
    } else {
      std::string conversion = "%";
      ++p;
      while (*p && std::strchr("-+ 0123456789", *p)) conversion += *p++;
      if (*p != 'd') {
        ADD_FAILURE() << "viPrintf double: unsupported conversion in \"" << printable(fmt) << "\"";
        return;
      }
      conversion += 'd';
      char digits[64];
      std::snprintf(digits, sizeof digits, conversion.c_str(), va_arg(args, int));
      current += digits;
    }
  }
  pieces->emplace_back(current, false);
}

}  // namespace

Script::Script() {
  EXPECT_EQ(active, nullptr) << "one script at a time";
  active = this;
}

Script::~Script() {
  for (const Step& s : expected_) ADD_FAILURE() << "expected call not made: " << opName(s.op);
  active = nullptr;
}

Script& Script::current() {
  if (!active) {
    ADD_FAILURE() << "VISA call without a script";
    static Script fallback;
    return fallback;
  }
  return *active;
}

Script& Script::expect(Step step) {
  expected_.push_back(std::move(step));
  return *this;
}

Script& Script::expect(std::initializer_list<Step> steps) {
  for (const Step& s : steps) expected_.push_back(s);
  return *this;
}

Script& Script::expect(const std::vector<Step>& steps) {
  for (const Step& s : steps) expected_.push_back(s);
  return *this;
}

Step Script::next(Op op) {
  if (expected_.empty() || expected_.front().op != op) {
    ADD_FAILURE() << "unexpected call " << opName(op) << ", expected "
                  << (expected_.empty() ? "nothing" : opName(expected_.front().op))
                  << "\nso far:\n" << transcript();
    return Step{op, VI_ERROR_SYSTEM_ERROR};
  }
  Step s = expected_.front();
  expected_.pop_front();
  return s;
}

Call& Script::record(Call c) {
  c.atMs = nowMs_;
  // How much the updater had written to standard error when the call was
  // made (the tests capture it into a file), to check what came first.
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) == 0) c.stderrAt = st.st_size;
  calls_.push_back(std::move(c));
  return calls_.back();
}

void Script::written(ViSession session, const std::string& bytes, bool end) {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const auto& p) { return p.first == session; });
  if (it == pending_.end()) {
    pending_.emplace_back(session, std::string());
    it = pending_.end() - 1;
  }
  it->second += bytes;
  if (end) {
    messages_.push_back({session, std::move(it->second)});
    it->second.clear();
  }
}

std::string Script::unterminated(ViSession session) const {
  for (const auto& p : pending_)
    if (p.first == session) return p.second;
  return {};
}

bool Script::closed(ViSession session) {
  auto it = std::find(open_.begin(), open_.end(), session);
  if (it == open_.end()) return false;
  open_.erase(it);
  return true;
}

std::string Script::transcript(std::initializer_list<Op> ops) const {
  std::string out;
  for (const Call& c : calls_) {
    if (ops.size() && std::find(ops.begin(), ops.end(), c.op) == ops.end()) continue;
    std::string line = opName(c.op);
    switch (c.op) {
      case Op::openDefaultRM: line += " -> " + std::to_string(c.returned) + " rm=" + std::to_string(c.session); break;
      case Op::open:
        line += "(\"" + printable(c.text) + "\", " + std::to_string(c.mode) + ", " +
                std::to_string(c.timeout) + ") -> " + std::to_string(c.returned) +
                " vi=" + std::to_string(c.session);
        break;
      case Op::setAttribute:
        line += "(" + std::to_string(c.session) + ", " + attrName(c.attr) + ", " +
                std::to_string(c.value) + ") -> " + std::to_string(c.returned);
        break;
      case Op::printf:
        line += "(" + std::to_string(c.session) + ") \"" + printable(c.text) + "\" -> " +
                std::to_string(c.returned);
        break;
      case Op::bufWrite:
        line += "(" + std::to_string(c.session) + ", " + blockName(c.data) + ", " +
                std::to_string(c.count) + ") -> " + std::to_string(c.returned);
        break;
      case Op::scanf:
        line += "(" + std::to_string(c.session) + ", \"" + printable(c.text) + "\") -> " +
                std::to_string(c.returned);
        break;
      case Op::sleep: line += " " + std::to_string(c.ms); break;
      default: line += "(" + std::to_string(c.session) + ") -> " + std::to_string(c.returned);
    }
    out += line + "\n";
  }
  return out;
}

Step call(Op op, ViStatus status) { return Step{op, status}; }
Step opens(ViSession session, ViStatus status) {
  Step s{Op::open, status};
  s.session = session;
  return s;
}
Step replies(std::string reply) {
  Step s{Op::scanf};
  s.reply = std::move(reply);
  return s;
}
Step fails(Op op, ViStatus status) { return Step{op, status}; }

std::string printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '"') out += "\\\"";
    else if (c == '\\') out += "\\\\";
    else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace benchfw::testing

// ---- the seams the updater links against ----------------------------------
using benchfw::testing::Call;
using benchfw::testing::Op;
using benchfw::testing::Script;

namespace benchfw {

void sleepMilliseconds(std::uint32_t ms) {
  Script& s = Script::current();
  s.next(Op::sleep);
  Call c{Op::sleep};
  c.ms = ms;
  s.record(c);
  s.advance(ms);
}

// Whole seconds of the virtual clock.
std::int32_t clockSeconds() {
  return static_cast<std::int32_t>(Script::current().nowMs() / 1000);
}

}  // namespace benchfw

namespace {

ViStatus finish(Script& s, const benchfw::testing::Step& step, Call c) {
  c.returned = step.status;
  s.record(std::move(c));
  s.advance(step.takesMs);
  return step.status;
}

}  // namespace

extern "C" {

ViStatus viOpenDefaultRM(ViSession* rm) {
  Script& s = Script::current();
  auto step = s.next(Op::openDefaultRM);
  *rm = step.session;
  if (step.session != VI_NULL) s.opened(step.session);
  Call c{Op::openDefaultRM};
  c.session = step.session;
  return finish(s, step, c);
}

ViStatus viOpen(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViSession* vi) {
  Script& s = Script::current();
  auto step = s.next(Op::open);
  *vi = step.session;
  if (step.session != VI_NULL) s.opened(step.session);
  Call c{Op::open};
  c.session = step.session;
  c.text = name;
  c.mode = mode;
  c.timeout = timeout;
  c.value = rm;
  return finish(s, step, c);
}

ViStatus viClose(ViObject vi) {
  Script& s = Script::current();
  auto step = s.next(Op::close);
  EXPECT_TRUE(s.closed(vi)) << "viClose of a session that is not open: " << vi;
  Call c{Op::close};
  c.session = vi;
  return finish(s, step, c);
}

ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  Script& s = Script::current();
  auto step = s.next(Op::setAttribute);
  Call c{Op::setAttribute};
  c.session = vi;
  c.attr = attr;
  c.value = value;
  return finish(s, step, c);
}

ViStatus viReadSTB(ViSession vi, ViUInt16* stb) {
  Script& s = Script::current();
  auto step = s.next(Op::readStb);
  *stb = 0x10;
  Call c{Op::readStb};
  c.session = vi;
  return finish(s, step, c);
}

ViStatus viClear(ViSession vi) {
  Script& s = Script::current();
  auto step = s.next(Op::clear);
  Call c{Op::clear};
  c.session = vi;
  return finish(s, step, c);
}

ViStatus viVPrintf(ViSession vi, ViConstString fmt, va_list args) {
  Script& s = Script::current();
  auto step = s.next(Op::printf);
  std::vector<std::pair<std::string, bool>> pieces;
  benchfw::testing::format(fmt, args, &pieces);
  Call c{Op::printf};
  c.session = vi;
  for (const auto& [bytes, end] : pieces) c.text += bytes;
  // Only bytes the library accepted reach the instrument.
  if (step.status == VI_SUCCESS)
    for (const auto& [bytes, end] : pieces) s.written(vi, bytes, end);
  return finish(s, step, c);
}

ViStatus viPrintf(ViSession vi, ViConstString fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const ViStatus status = viVPrintf(vi, fmt, args);
  va_end(args);
  return status;
}

ViStatus viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViUInt32* retCount) {
  Script& s = Script::current();
  auto step = s.next(Op::bufWrite);
  Call c{Op::bufWrite};
  c.session = vi;
  c.data = buf;
  c.count = count;
  if (step.status == VI_SUCCESS) s.written(vi, std::string(reinterpret_cast<const char*>(buf), count), false);
  if (retCount) *retCount = step.reportedCount ? step.reportedCount : count;
  return finish(s, step, c);
}

// Supports "%#t" as the updater uses it: room on entry, count on return. A
// reply longer than the room is cut there, the rest of the message dropped,
// as our library does. Nothing is NUL-terminated: the caller must do it.
ViStatus viVScanf(ViSession vi, ViConstString fmt, va_list args) {
  Script& s = Script::current();
  auto step = s.next(Op::scanf);
  Call c{Op::scanf};
  c.session = vi;
  c.text = fmt;
  if (std::strcmp(fmt, "%#t") != 0) {
    ADD_FAILURE() << "viScanf double supports only %#t, got " << fmt;
    return finish(s, step, c);
  }
  ViUInt32* room = va_arg(args, ViUInt32*);
  char* buffer = va_arg(args, char*);
  if (step.status == VI_SUCCESS) {
    const ViUInt32 n = std::min<ViUInt32>(*room, static_cast<ViUInt32>(step.reply.size()));
    std::memcpy(buffer, step.reply.data(), n);
    if (n < *room) buffer[n] = '#';  // a library owes no terminator
    *room = n;
  }
  return finish(s, step, c);
}

ViStatus viScanf(ViSession vi, ViConstString fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const ViStatus status = viVScanf(vi, fmt, args);
  va_end(args);
  return status;
}

ViStatus viGetAttribute(ViObject, ViAttr, void*) { return VI_ERROR_NSUP_OPER; }
ViStatus viFlush(ViSession, ViUInt16) { return VI_ERROR_NSUP_OPER; }
ViStatus viSetBuf(ViSession, ViUInt16, ViUInt32) { return VI_ERROR_NSUP_OPER; }
ViStatus viRead(ViSession, ViBuf, ViUInt32, ViUInt32*) { return VI_ERROR_NSUP_OPER; }
ViStatus viWrite(ViSession, ViConstBuf, ViUInt32, ViUInt32*) { return VI_ERROR_NSUP_OPER; }

}  // extern "C"
