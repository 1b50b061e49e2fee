#include <gtest/gtest.h>

#include <cstdarg>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "formatted_io.h"
#include "loopback_server.h"
#include "recording_transport.h"
#include "visa.h"

namespace benchfw::test {
namespace {

ViStatus print(visa::Session& s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  ViStatus st = visa::formattedWrite(s, format, args);
  va_end(args);
  return st;
}

std::string allBytes(const std::vector<WriteCall>& calls) {
  std::string all;
  for (const WriteCall& c : calls) all += c.bytes;
  return all;
}

// An image with line feeds and NULs in it, neither of which may end or
// shorten the message.
std::string testImage(std::size_t size) {
  std::string image(size, '\0');
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  image[0] = '\n';
  image[1] = '\0';
  image[size - 1] = '\n';
  return image;
}

TEST(FormattedWrite, ConversionsRenderLikeTheirCCounterparts) {
  struct Case {
    std::function<ViStatus(visa::Session&)> call;
    std::string expected;
  };
  const Case cases[] = {
      {[](auto& s) { return print(s, "%s #9%09d", "SYST:UPD", 3740624); }, "SYST:UPD #9003740624"},
      {[](auto& s) { return print(s, "%5d|%-5d|%+d|% d|%05d", 42, 42, 42, 42, -42); },
       "   42|42   |+42| 42|-0042"},
      {[](auto& s) { return print(s, "%u %x %#X %o %#o", 4000000000u, 255, 255, 8, 8); },
       "4000000000 ff 0XFF 10 010"},
      {[](auto& s) { return print(s, "%ld %lld %hd %hhu", -5L, 1LL << 40, 70000, 300); },
       "-5 1099511627776 4464 44"},
      {[](auto& s) { return print(s, "%*d|%-*d|%.3d|%.0d", 4, 7, 3, 7, 5, 0); }, "   7|7  |005|"},
      {[](auto& s) { return print(s, "%c%c|%3s|%.2s|100%%", 'O', 'K', "a", "abc"); },
       "OK|  a|ab|100%"},
      {[](auto& s) { return print(s, "A\\tB\\rC\\\\D\\\"E\\101\\0"); },
       std::string("A\tB\rC\\D\"EA\0", 11)},
      // Format bytes in an argument are data, never a format.
      {[](auto& s) { return print(s, "%s", "%s%n%d\\n"); }, "%s%n%d\\n"},
  };
  for (const Case& c : cases) {
    std::vector<WriteCall> calls;
    auto session = recordingSession(&calls);
    ASSERT_EQ(c.call(*session), VI_SUCCESS) << c.expected;
    ASSERT_EQ(session->flushWriteBuffer(), VI_SUCCESS);
    EXPECT_EQ(allBytes(calls), c.expected);
  }
}

TEST(FormattedWrite, BadFormatsSendNothing) {
  struct Case {
    const char* format;
    ViStatus status;
  } cases[] = {
      {"*RST\n%f", VI_ERROR_NSUP_FMT}, {"%b", VI_ERROR_NSUP_FMT},  {"%,5d", VI_ERROR_NSUP_FMT},
      {"%ls", VI_ERROR_NSUP_FMT},      {"*RST\n%q", VI_ERROR_INV_FMT}, {"50%", VI_ERROR_INV_FMT},
      {"%5", VI_ERROR_INV_FMT},        {"end\\", VI_ERROR_INV_FMT}, {"\\9", VI_ERROR_INV_FMT},
      {"\\777", VI_ERROR_INV_FMT},     {"%99999999d", VI_ERROR_NSUP_FMT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    std::vector<WriteCall> calls;
    auto session = recordingSession(&calls);
    EXPECT_EQ(print(*session, c.format, 1.0), c.status);
    ASSERT_EQ(session->flushWriteBuffer(), VI_SUCCESS);
    EXPECT_TRUE(calls.empty());
  }
  std::vector<WriteCall> calls;
  auto session = recordingSession(&calls);
  EXPECT_EQ(print(*session, "*IDN?\n%s", nullptr), VI_ERROR_INV_PARAMETER);
  EXPECT_TRUE(calls.empty());
}

// Each line feed of the format ends a message with END; a line feed in an
// argument is data; what follows the last one waits for more.
TEST(FormattedWrite, FormatLineFeedsEndMessages) {
  std::vector<WriteCall> calls;
  auto session = recordingSession(&calls);
  ASSERT_EQ(print(*session, "%s\n*OPC?\\n:STAT", "A\nB"), VI_SUCCESS);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].bytes, "A\nB\n");
  EXPECT_TRUE(calls[0].end);
  EXPECT_EQ(calls[1].bytes, "*OPC?\n");
  EXPECT_TRUE(calls[1].end);
  ASSERT_EQ(session->flushWriteBuffer(), VI_SUCCESS);
  EXPECT_EQ(calls.back().bytes, ":STAT");
}

// The download: a header without a line feed, the image through
// viBufWrite, then "\n*OPC?\n". The image is handed to the transport in
// place (one gather write, no copy through the buffer), no piece of it
// carries END, and the first line feed of the trailer ends the message.
TEST(FormattedWrite, LargeBlockGoesOutInOneGatherWriteWithoutEnd) {
  const std::string image = testImage(3 * 1024 * 1024 + 17);
  const auto* block = reinterpret_cast<const unsigned char*>(image.data());
  std::vector<WriteCall> calls;
  auto session = recordingSession(&calls);

  ASSERT_EQ(print(*session, "%s #9%09d", "SYST:UPD", static_cast<int>(image.size())), VI_SUCCESS);
  EXPECT_TRUE(calls.empty());
  std::size_t accepted = 0;
  ASSERT_EQ(session->writeBytes(block, image.size(), false, &accepted), VI_SUCCESS);
  EXPECT_EQ(accepted, image.size());
  ASSERT_EQ(calls.size(), 1u);
  const WriteCall& gather = calls[0];
  EXPECT_FALSE(gather.end);
  ASSERT_EQ(gather.parts.size(), 2u);
  EXPECT_EQ(gather.parts[1].data, block) << "the block was copied";
  EXPECT_EQ(gather.bytes.size() % visa::Session::kDefaultBufferSize, 0u);

  ASSERT_EQ(print(*session, "\n*OPC?\n"), VI_SUCCESS);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[1].end);
  EXPECT_EQ(calls[1].bytes.back(), '\n');
  EXPECT_EQ(calls[2].bytes, "*OPC?\n");
  EXPECT_EQ(allBytes(calls), "SYST:UPD #9" + std::to_string(image.size()).insert(0, 2, '0') +
                                 image + "\n*OPC?\n");
}

// Full buffers leave without END as they fill, whichever call fills them;
// a message that ends exactly on a buffer boundary still carries END.
TEST(FormattedWrite, FullBuffersLeaveWithoutEnd) {
  std::vector<WriteCall> calls;
  auto session = recordingSession(&calls);
  ASSERT_EQ(session->setBufferSize(VI_WRITE_BUF, 8), VI_SUCCESS);
  const std::string text = "0123456789ABCDE";  // 15 bytes: one full buffer, 7 left
  std::size_t accepted = 0;
  ASSERT_EQ(session->writeBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                false, &accepted),
            VI_SUCCESS);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].bytes, "01234567");
  EXPECT_FALSE(calls[0].end);
  ASSERT_EQ(print(*session, "\n"), VI_SUCCESS);  // the 8th byte: full, and the end
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].bytes, "89ABCDE\n");
  EXPECT_TRUE(calls[1].end);
}

// The same download over a real socket: the instrument sees every byte
// once, in order, and the session stays usable for the "*OPC?" reply.
TEST(FormattedWrite, PeerSeesTheDownloadByteForByte) {
  const std::string image = testImage(3 * 1024 * 1024);
  const std::string header = "SYST:UPD #9" + std::string("00") + std::to_string(image.size());
  const std::string expected = header + image + "\n*OPC?\n";
  std::promise<std::string> received;
  LoopbackServer server([&](int fd) {
    std::string got = readBytes(fd, expected.size());
    sendText(fd, "1\n");
    received.set_value(got + readToEof(fd));
  });
  ViSession rm = VI_NULL, vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, server.resource().c_str(), VI_EXCLUSIVE_LOCK, 100, &vi), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 120000), VI_SUCCESS);
  EXPECT_EQ(viPrintf(vi, "%s #9%09d", "SYST:UPD", static_cast<int>(image.size())), VI_SUCCESS);
  ViUInt32 written = 0;
  EXPECT_EQ(viBufWrite(vi, reinterpret_cast<ViConstBuf>(image.data()),
                       static_cast<ViUInt32>(image.size()), &written),
            VI_SUCCESS);
  EXPECT_EQ(written, image.size());
  EXPECT_EQ(viPrintf(vi, "\n*OPC?\n"), VI_SUCCESS);
  char reply[1024] = {};
  ViUInt32 count = sizeof reply - 1;
  EXPECT_EQ(viScanf(vi, "%#t", &count, reply), VI_SUCCESS);
  EXPECT_STREQ(reply, "1\n");
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
  EXPECT_TRUE(received.get_future().get() == expected) << "the peer saw other bytes";
}

}  // namespace
}  // namespace benchfw::test
