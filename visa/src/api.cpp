// The C entry points. Each one turns any C++ exception into a status
// (nothing may unwind into a C caller), finds its session, and holds the
// session's lock for the whole call.
#include <cstdarg>
#include <new>

#include "formatted_io.h"
#include "session_table.h"
#include "visa.h"

namespace {

using benchfw::visa::Session;
using benchfw::visa::SessionTable;

template <typename F>
ViStatus guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return VI_ERROR_ALLOC;
  } catch (...) {
    return VI_ERROR_SYSTEM_ERROR;
  }
}

template <typename F>
ViStatus withSession(ViSession vi, F&& body) noexcept {
  return guarded([&]() -> ViStatus {
    ViStatus st = VI_SUCCESS;
    auto session = SessionTable::instance().find(vi, &st);
    if (!session) return st;
    std::lock_guard lock(session->mutex());
    if (!session->isOpen()) return VI_ERROR_INV_OBJECT;  // closed while we waited
    return body(*session);
  });
}

// viFlush and viSetBuf masks: at most one action per buffer.
bool isValidFlushMask(ViUInt16 mask) {
  constexpr ViUInt16 kAll = VI_READ_BUF | VI_WRITE_BUF | VI_READ_BUF_DISCARD |
                            VI_WRITE_BUF_DISCARD | VI_IO_IN_BUF | VI_IO_OUT_BUF |
                            VI_IO_IN_BUF_DISCARD | VI_IO_OUT_BUF_DISCARD;
  auto both = [mask](ViUInt16 a, ViUInt16 b) { return (mask & a) && (mask & b); };
  return mask != 0 && !(mask & ~kAll) && !both(VI_READ_BUF, VI_READ_BUF_DISCARD) &&
         !both(VI_WRITE_BUF, VI_WRITE_BUF_DISCARD) && !both(VI_IO_IN_BUF, VI_IO_IN_BUF_DISCARD) &&
         !both(VI_IO_OUT_BUF, VI_IO_OUT_BUF_DISCARD);
}

ViStatus flush(Session& s, ViUInt16 mask) {
  if (!isValidFlushMask(mask)) return VI_ERROR_INV_MASK;
  ViStatus st = VI_SUCCESS;
  if (mask & VI_WRITE_BUF) st = s.flushWriteBuffer();
  if (mask & VI_WRITE_BUF_DISCARD) s.discardWriteBuffer();
  if (st == VI_SUCCESS && (mask & VI_READ_BUF)) st = s.flushReadBuffer(true);
  if (mask & VI_READ_BUF_DISCARD) s.discardReadBuffer();
  // The kernel's socket buffers (VI_IO_*) are not ours to empty or push.
  return st;
}

void setCount(ViUInt32* out, std::size_t n) {
  if (out) *out = static_cast<ViUInt32>(n);
}

// viRead, viWrite, viBufWrite: a buffer, a count, and the count done
// reported also when the transfer fails part-way.
template <typename Buffer, typename F>
ViStatus transfer(ViSession vi, Buffer buf, ViUInt32 count, ViUInt32* retCount, F&& body) noexcept {
  setCount(retCount, 0);
  return withSession(vi, [&](Session& s) {
    if (!buf && count > 0) return VI_ERROR_INV_PARAMETER;
    std::size_t done = 0;
    ViStatus st = body(s, &done);
    setCount(retCount, done);
    return st;
  });
}

}  // namespace

// Built as a shared library, only these symbols are exported.
#pragma GCC visibility push(default)
extern "C" {

ViStatus viOpenDefaultRM(ViSession* rm) {
  return guarded([&] { return SessionTable::instance().openResourceManager(rm); });
}

ViStatus viOpen(ViSession rm, ViConstRsrc name, ViAccessMode mode, ViUInt32 openTimeout,
                ViSession* vi) {
  if (vi) *vi = VI_NULL;
  return guarded([&] { return SessionTable::instance().open(rm, name, mode, openTimeout, vi); });
}

ViStatus viClose(ViObject object) {
  return guarded([&] { return SessionTable::instance().close(object); });
}

ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  ViStatus st = withSession(vi, [&](Session& s) { return s.setAttribute(attr, value); });
  return st == VI_ERROR_NSUP_OPER ? VI_ERROR_NSUP_ATTR : st;  // a resource manager
}

ViStatus viGetAttribute(ViObject vi, ViAttr attr, void* value) {
  ViStatus st = withSession(vi, [&](Session& s) { return s.getAttribute(attr, value); });
  return st == VI_ERROR_NSUP_OPER ? VI_ERROR_NSUP_ATTR : st;
}

ViStatus viReadSTB(ViSession vi, ViUInt16* stb) {
  return withSession(vi, [&](Session& s) {
    return stb ? s.readStatusByte(stb) : VI_ERROR_INV_PARAMETER;
  });
}

ViStatus viClear(ViSession vi) {
  return withSession(vi, [&](Session& s) { return s.clear(); });
}

ViStatus viVPrintf(ViSession vi, ViConstString format, va_list args) {
  return withSession(vi, [&](Session& s) { return benchfw::visa::formattedWrite(s, format, args); });
}

ViStatus viPrintf(ViSession vi, ViConstString format, ...) {
  va_list args;
  va_start(args, format);
  ViStatus st = viVPrintf(vi, format, args);
  va_end(args);
  return st;
}

ViStatus viVScanf(ViSession vi, ViConstString format, va_list args) {
  return withSession(vi, [&](Session& s) { return benchfw::visa::formattedRead(s, format, args); });
}

ViStatus viScanf(ViSession vi, ViConstString format, ...) {
  va_list args;
  va_start(args, format);
  ViStatus st = viVScanf(vi, format, args);
  va_end(args);
  return st;
}

ViStatus viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViUInt32* retCount) {
  return transfer(vi, buf, count, retCount, [&](Session& s, std::size_t* accepted) {
    ViStatus st = s.writeBytes(buf, count, false, accepted);
    return st != VI_SUCCESS ? st : s.afterFormattedWrite();
  });
}

ViStatus viFlush(ViSession vi, ViUInt16 mask) {
  return withSession(vi, [&](Session& s) { return flush(s, mask); });
}

ViStatus viSetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size) {
  return withSession(vi, [&](Session& s) { return s.setBufferSize(mask, size); });
}

ViStatus viRead(ViSession vi, ViBuf buf, ViUInt32 count, ViUInt32* retCount) {
  return transfer(vi, buf, count, retCount,
                  [&](Session& s, std::size_t* got) { return s.rawRead(buf, count, got); });
}

ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViUInt32* retCount) {
  return transfer(vi, buf, count, retCount,
                  [&](Session& s, std::size_t* sent) { return s.rawWrite(buf, count, sent); });
}

}  // extern "C"
#pragma GCC visibility pop
