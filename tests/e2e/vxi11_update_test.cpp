// The real updater against the real simulator over VXI-11
// (TCPIP0::127.0.0.1::inst0::INSTR, portmapper on port 111, so every test
// runs in a private network namespace): whole updates with what the
// instrument saw checked byte for byte, the device lock between two
// clients, device errors as statuses, and restarts while the client retries.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "payload/image_format.h"
#include "payload/images.h"
#include "visa.h"

namespace benchfw::e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kResource = "TCPIP0::127.0.0.1::inst0::INSTR";

bool placeholder(const unsigned char* image, std::size_t size) {
  return image::inspect(image, size).problem.empty();
}

// Real images (built in with BENCHFW_MAIN_IMAGE / _SUB_IMAGE) carry no header
// the simulator can read: it stores them as they are and keeps its versions.
bool realImages() {
  return !placeholder(mainAppImage, mainAppImageSize) || !placeholder(subAppImage, subAppImageSize);
}

std::string version(const unsigned char* image, std::size_t size, const char* otherwise) {
  if (!placeholder(image, size)) return otherwise;
  return image::versionText(image::inspect(image, size).version);
}

class Vxi11EndToEnd : public ::testing::Test {
 protected:
  void startSim(const std::vector<std::string>& extra, bool waitUntilListening = true) {
    dir_ = makeTempDir("vxi11");
    std::vector<std::string> argv = {BENCHFW_SIM_PATH, "--vxi11", "--log", dir_ + "/sim.log",
                                     "--save-images", dir_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (realImages()) argv.push_back("--accept-any-image");
    sim_ = std::make_unique<ChildProcess>(argv, dir_ + "/sim.err");
    if (waitUntilListening) {
      ASSERT_TRUE(waitForPort(111, 10s)) << readFile(dir_ + "/sim.err");
    }
  }
  // Runs the updater to its end (bounded); returns the exit status.
  int runUpdater() {
    ChildProcess updater({BENCHFW_PATH, kResource}, dir_ + "/benchfw.err", dir_ + "/benchfw.out");
    const auto status = updater.wait(180s);
    return status.value_or(-1);
  }
  std::string updaterStderr() const { return readFile(dir_ + "/benchfw.err"); }

  std::string dir_;
  std::unique_ptr<ChildProcess> sim_;
};

// What the updater writes for a whole update of a simulator that starts in
// the main application.
std::string expectedUpdateStderr() {
  const std::string open = std::string("Open Instrument(") + kResource + ")\n";
  const std::string identity = "*IDN? = BENCHLAB,BL-7000,SN000123,";
  return "Open VISA\n" + open + identity + "MAIN 2.5.0\n:DIAG:HW:HOST:FW:MAIN? = 1\n" +
         "Update sub app (" + std::to_string(subAppImageSize) + " bytes) ......Done\n" + open +
         identity + "SUB " + version(subAppImage, subAppImageSize, "1.3.1") +
         "\n:DIAG:HW:HOST:FW:MAIN? = 0\n" + "Update main app (" +
         std::to_string(mainAppImageSize) + " bytes) ......Done\n" + open + identity + "MAIN " +
         version(mainAppImage, mainAppImageSize, "2.5.0") + "\n:DIAG:HW:HOST:FW:MAIN? = 1\n";
}

// One program message as the simulator's log shows it: the device_write
// calls that carried it and the message the instrument parsed.
struct LoggedMessage {
  struct Write {
    std::size_t length;
    bool end;
    std::string last;  // the last byte, quoted and escaped
  };
  std::vector<Write> writes;
  std::string parsed;
};

// The messages one VXI-11 link delivered, in order. A message ends with the
// device_write that carries END; the parsed form follows it in the log.
std::vector<LoggedMessage> messagesOf(const std::string& log) {
  std::vector<LoggedMessage> messages(1);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    // "<seconds> <who> <text>", where a link's name ends in "/lid<N>".
    const auto whoAt = line.find(' ');
    const auto textAt = line.find(' ', whoAt + 1);
    if (whoAt == std::string::npos || textAt == std::string::npos ||
        line.substr(whoAt + 1, textAt - whoAt - 1).find("/lid") == std::string::npos)
      continue;
    const std::string text = line.substr(textAt + 1);
    std::size_t length = 0;
    int end = 0;
    if (std::sscanf(text.c_str(), "device_write len=%zu end=%d", &length, &end) == 2) {
      const auto lastAt = text.find(" last=");
      messages.back().writes.push_back(
          {length, end == 1, lastAt == std::string::npos ? "" : text.substr(lastAt + 6)});
      if (end == 1) messages.emplace_back();
    } else if (text.rfind("<- \"", 0) == 0 && text.back() == '"' && messages.size() >= 2) {
      messages[messages.size() - 2].parsed = text.substr(4, text.size() - 5);
    }
  }
  messages.pop_back();  // the one still open
  return messages;
}

std::string blockSummary(const unsigned char* image, std::size_t size) {
  char text[64];
  std::snprintf(text, sizeof text, "<block %zu bytes crc32 %08" PRIx32 ">", size,
                image::crc32(image, size));
  return text;
}

// Every message ends with END on its line feed; a download is one message
// of chunks no larger than maxRecvSize, END on the last only, then "*OPC?".
void expectDownloadsOnTheWire(const std::vector<LoggedMessage>& messages, std::size_t maxRecvSize) {
  struct Expected {
    std::string command;
    const unsigned char* image;
    std::size_t size;
  };
  const Expected downloads[] = {{":DIAG:HW:HOST:FW:UPD:SUB", subAppImage, subAppImageSize},
                                {":DIAG:HW:HOST:FW:UPD:MAIN", mainAppImage, mainAppImageSize}};
  std::size_t found = 0;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const LoggedMessage& msg = messages[i];
    SCOPED_TRACE("message " + std::to_string(i) + ": " + msg.parsed.substr(0, 80));
    ASSERT_FALSE(msg.writes.empty());
    EXPECT_EQ(msg.writes.back().last, R"("\n")");
    for (std::size_t w = 0; w + 1 < msg.writes.size(); ++w) EXPECT_FALSE(msg.writes[w].end);
    if (msg.parsed.rfind(":DIAG:HW:HOST:FW:UPD:", 0) != 0) continue;

    ASSERT_LT(found, 2u);
    const Expected& d = downloads[found++];
    char digits[16];
    std::snprintf(digits, sizeof digits, "%09zu", d.size);
    EXPECT_EQ(msg.parsed, d.command + " #9" + digits + blockSummary(d.image, d.size));
    std::size_t total = 0;
    for (const auto& w : msg.writes) {
      EXPECT_LE(w.length, maxRecvSize);
      total += w.length;
    }
    EXPECT_EQ(total, d.command.size() + 1 + 2 + 9 + d.size + 1);
    EXPECT_GE(msg.writes.size(), (total + maxRecvSize - 1) / maxRecvSize);
    ASSERT_LT(i + 1, messages.size());
    EXPECT_EQ(messages[i + 1].parsed, "*OPC?");
    ASSERT_EQ(messages[i + 1].writes.size(), 1u);
    EXPECT_EQ(messages[i + 1].writes[0].length, 6u);
  }
  EXPECT_EQ(found, 2u);
}

void expectImagesStored(const std::string& dir) {
  EXPECT_EQ(readBytes(dir + "/sub.bin"),
            std::vector<std::uint8_t>(subAppImage, subAppImage + subAppImageSize));
  EXPECT_EQ(readBytes(dir + "/main.bin"),
            std::vector<std::uint8_t>(mainAppImage, mainAppImage + mainAppImageSize));
}

class FullUpdate : public Vxi11EndToEnd, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FullUpdate, SendsBothImagesAsSingleMessagesWithEndOnTheirLineFeed) {
  startSim({"--restart-time", "0", "--max-recv-size", std::to_string(GetParam())});
  EXPECT_EQ(runUpdater(), 0);
  EXPECT_EQ(updaterStderr(), expectedUpdateStderr());
  expectImagesStored(dir_);
  sim_->stop();
  expectDownloadsOnTheWire(messagesOf(readFile(dir_ + "/sim.log")), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Vxi11, FullUpdate, ::testing::Values(4096u, 1u << 20));

// The instrument is deaf at first and each restart outlasts the updater's
// wait, so every phase's open is refused and retried until it is back.
TEST_F(Vxi11EndToEnd, UpdaterRetriesWhileTheInstrumentIsDown) {
  startSim({"--listen-delay", "2", "--restart-time", "7"}, false);
  EXPECT_EQ(runUpdater(), 0);
  EXPECT_EQ(updaterStderr(), expectedUpdateStderr());
  expectImagesStored(dir_);
}

// Two clients of one instrument: the device lock taken by an exclusive
// open holds off the other client's exclusive open and its I/O, until the
// first closes. (Two host names for one instrument, so the library's own
// in-process lock does not decide it first.)
TEST_F(Vxi11EndToEnd, DeviceLockBetweenTwoClients) {
  startSim({});
  ViSession rm = VI_NULL, first = VI_NULL, second = VI_NULL, third = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, kResource, VI_EXCLUSIVE_LOCK, 100, &first), VI_SUCCESS);
  const char* other = "TCPIP0::localhost::inst0::INSTR";
  EXPECT_EQ(viOpen(rm, other, VI_EXCLUSIVE_LOCK, 100, &second), VI_ERROR_RSRC_LOCKED);
  EXPECT_EQ(second, static_cast<ViSession>(VI_NULL));
  ASSERT_EQ(viOpen(rm, other, VI_NO_LOCK, 100, &third), VI_SUCCESS);
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(third, &stb), VI_ERROR_RSRC_LOCKED);
  EXPECT_EQ(viPrintf(third, "*CLS\n"), VI_ERROR_RSRC_LOCKED);
  EXPECT_EQ(viReadSTB(first, &stb), VI_SUCCESS);

  EXPECT_EQ(viClose(first), VI_SUCCESS);
  EXPECT_EQ(viReadSTB(third, &stb), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, other, VI_EXCLUSIVE_LOCK, 100, &second), VI_SUCCESS);
  viClose(rm);
}

// What the instrument reports, as the library returns it: a read with no
// query pending times out (and the instrument queues -420); a session the
// instrument forgot in a restart has lost its connection.
TEST_F(Vxi11EndToEnd, DeviceErrorsBecomeStatuses) {
  startSim({"--restart-time", "0.5"});
  ViSession rm = VI_NULL, vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, kResource, VI_NO_LOCK, 100, &vi), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);
  char reply[256];
  ViUInt32 size = sizeof reply - 1;
  EXPECT_EQ(viScanf(vi, "%#t", &size, reply), VI_ERROR_TMO);
  ASSERT_EQ(viPrintf(vi, ":SYST:ERR?\n"), VI_SUCCESS);
  size = sizeof reply - 1;
  ASSERT_EQ(viScanf(vi, "%#t", &size, reply), VI_SUCCESS);
  EXPECT_EQ(std::string(reply, size), "-420,\"Query UNTERMINATED\"\n");

  ASSERT_EQ(viPrintf(vi, ":DIAG:HW:HOST:REB:SUB\n"), VI_SUCCESS);
  ViUInt16 stb = 0;
  EXPECT_EQ(viReadSTB(vi, &stb), VI_ERROR_CONN_LOST);
  viClose(rm);
}

}  // namespace
}  // namespace benchfw::e2e
