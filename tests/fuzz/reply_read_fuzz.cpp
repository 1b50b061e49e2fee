// Replies as an instrument on a raw socket may send them: any bytes, with or
// without a line feed, of any length, read through the socket transport's
// framing and viScanf's bounded string conversions.
//
// Input: three control bytes, then the instrument's whole byte stream.
//   [0] which read: a conversion from kReads, or the status byte
//   [1] bit 0: the instrument hangs up after its bytes (else it goes quiet
//       and the read times out at once); bits 1-2: the read buffer size
//   [2] the buffer size handed to '#' conversions (1 to 1024)
// Each input makes a fresh session and reads two replies in a row.
//
// Beyond what AddressSanitizer sees (every string buffer is exactly as large
// as the read was told), the harness checks what a caller relies on: a
// stored reply is NUL-terminated within its bound, is a prefix of the first
// message, and the second read starts where the first message ended.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "socket_peer.h"
#include "transport.h"

namespace {

using benchfw::fuzz::scan;
using benchfw::visa::Session;

enum class Target { text, sized, integer, none };

struct Read {
  const char* format;
  Target target;
  bool wholeMessage;   // stores the message up to its line feed, within its bound
  std::size_t width;   // the format's field width; 0: none
};

constexpr std::size_t kUnbounded = 1023;  // what %t stores without width or '#'
constexpr std::size_t kReply = 1024;      // the updater's reply buffer

const Read kReads[] = {
    {"%t", Target::text, true, 0},       {"%#t", Target::sized, true, 0},
    {"%1023t", Target::text, true, 1023}, {"%5t", Target::text, true, 5},
    {"%T", Target::text, true, 0},       {"%#10t", Target::sized, true, 10},
    {"%s", Target::text, false, 0},      {"%#s", Target::sized, false, 0},
    {"%d", Target::integer, false, 0},   {"%*t", Target::none, false, 0},
    {"+%d,%*t", Target::integer, false, 0},
};

// Characters a text read may store. A plain buffer has one byte more, for
// the NUL; a '#' size is the most that is written, NUL included when the
// reply is shorter.
std::size_t boundOf(const Read& read, ViUInt32 sizedBuffer) {
  const std::size_t room = read.target == Target::sized ? sizedBuffer : kUnbounded;
  return read.width ? std::min(room, read.width) : room;
}

struct Outcome {
  ViStatus status;
  // Text targets on success: the bytes stored. A '#' read reports its count,
  // so a NUL inside the reply is kept; a plain one ends at the first NUL,
  // which is all its caller can see.
  std::string_view stored;
};

// One read into a buffer exactly as large as the format says it is.
Outcome readOnce(Session& session, const Read& read, ViUInt32 sizedBuffer,
                 std::unique_ptr<char[]>& text) {
  if (read.target == Target::integer) {
    int value = 0;
    return {scan(session, read.format, &value), {}};
  }
  if (read.target == Target::none) return {scan(session, read.format), {}};
  const std::size_t bufferSize =
      read.target == Target::sized ? sizedBuffer : boundOf(read, sizedBuffer) + 1;
  text = std::make_unique<char[]>(bufferSize);
  ViUInt32 count = sizedBuffer;
  const ViStatus status = read.target == Target::sized
                              ? scan(session, read.format, &count, text.get())
                              : scan(session, read.format, text.get());
  if (status != VI_SUCCESS) return {status, {}};
  if (read.target == Target::sized) {
    if (count > boundOf(read, sizedBuffer)) std::abort();
    if (count < sizedBuffer && text[count] != '\0') std::abort();
    return {status, {text.get(), count}};
  }
  const void* nul = std::memchr(text.get(), '\0', bufferSize);
  if (!nul) std::abort();  // not terminated within the buffer
  return {status, {text.get(), static_cast<std::size_t>(static_cast<const char*>(nul) - text.get())}};
}

// What a whole-message read must have stored from the message at `from`.
void expectMessagePrefix(std::string_view stream, std::size_t from, const Read& read,
                         ViUInt32 sizedBuffer, std::string_view stored) {
  if (!read.wholeMessage || from > stream.size()) return;
  const std::string_view rest = stream.substr(from);
  const std::size_t end = std::min(rest.find('\n'), rest.size() - 1) + 1;
  std::string_view message = rest.substr(0, std::min(end, boundOf(read, sizedBuffer)));
  if (read.target != Target::sized) message = message.substr(0, message.find('\0'));
  if (stored != message) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const unsigned which = data[0] % (std::size(kReads) + 1);
  const bool hangUp = data[1] & 1;
  static constexpr ViUInt32 kReadBuffers[] = {4096, 1, 7, 64};
  const ViUInt32 readBuffer = kReadBuffers[(data[1] >> 1) & 3];
  // 1 to 1017 bytes, or the updater's 1024.
  const ViUInt32 sized = data[2] == 255 ? ViUInt32(kReply) : ViUInt32(1 + data[2] * 4);

  benchfw::fuzz::SocketPeer peer;
  const std::size_t said = peer.say(data + 3, size - 3);
  const std::string_view stream(reinterpret_cast<const char*>(data + 3), said);
  if (hangUp) peer.hangUp();

  Session session(benchfw::visa::adoptSocketTransport(peer.takeClient()), {}, VI_NO_LOCK);
  session.setAttribute(VI_ATTR_TMO_VALUE, VI_TMO_IMMEDIATE);
  session.setBufferSize(VI_READ_BUF, readBuffer);

  if (which == std::size(kReads)) {
    ViUInt16 stb = 0;
    if (session.readStatusByte(&stb) == VI_SUCCESS && stb > 255) std::abort();
    return 0;
  }
  const Read& read = kReads[which];
  std::unique_ptr<char[]> first;
  const Outcome one = readOnce(session, read, sized, first);
  if (one.status != VI_SUCCESS || !read.wholeMessage) return 0;
  expectMessagePrefix(stream, 0, read, sized, one.stored);

  // The rest of an over-long first reply was dropped: the second read
  // starts at the message after it.
  const std::size_t next = stream.find('\n');
  const Read& whole = kReads[0];
  std::unique_ptr<char[]> second;
  const Outcome two = readOnce(session, whole, sized, second);
  if (two.status == VI_SUCCESS && next != std::string_view::npos)
    expectMessagePrefix(stream, next + 1, whole, sized, two.stored);
  return 0;
}
