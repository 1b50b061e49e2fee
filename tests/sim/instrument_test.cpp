// The instrument as a client sees it through a Session: the updater's
// dialogue, the error queue, downloads, restarts and the faults.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/instrument.h"
#include "sim/session.h"
#include "sim_test_support.h"

namespace benchfw::sim {
namespace {

using namespace std::chrono_literals;
using testing_support::downloadMessage;
using testing_support::makeImage;

// Records the listener calls, in order.
struct Events : InstrumentListener {
  std::mutex mutex;
  std::string seen;
  void instrumentDown() override { std::lock_guard<std::mutex> l(mutex); seen += "down "; }
  void instrumentUp() override { std::lock_guard<std::mutex> l(mutex); seen += "up "; }
  std::string get() { std::lock_guard<std::mutex> l(mutex); return seen; }
};

class InstrumentTest : public testing::Test {
 protected:
  void start(InstrumentConfig config = {}) {
    session.reset();
    instrument = std::make_unique<Instrument>(std::move(config), log);
    instrument->addListener(&events);
    instrument->start();
    ASSERT_TRUE(instrument->waitUntilUp(5s));
    reconnect();
  }
  void TearDown() override {
    if (instrument) {
      instrument->stop();
      instrument->removeListener(&events);
    }
  }
  void reconnect() {
    ASSERT_TRUE(instrument->waitUntilUp(5s));
    session = std::make_unique<Session>(*instrument, "test", ResponseMode::polled);
  }
  bool send(const std::string& message) {
    return session->deliver(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(),
                            false);
  }
  // One whole response, read in small pieces as a VXI-11 client may.
  std::string read() {
    std::string response;
    while (true) {
      std::uint8_t piece[7];
      const auto r = session->readResponse(piece, sizeof piece, 2s);
      if (r.status != Session::ReadResult::Status::ok) return response + "<no response>";
      response.append(reinterpret_cast<char*>(piece), r.size);
      if (r.end) return response;
    }
  }
  std::string query(const std::string& message) {
    send(message);
    return read();
  }
  std::vector<int> errorCodes() {
    std::vector<int> codes;
    for (const auto& e : instrument->errorQueue()) codes.push_back(e.code);
    return codes;
  }

  DialogueLog log;
  Events events;
  std::unique_ptr<Instrument> instrument;
  std::unique_ptr<Session> session;
};

TEST_F(InstrumentTest, AnswersTheUpdatersDialogue) {
  start();
  EXPECT_TRUE(send("*CLS\n"));
  EXPECT_EQ(query(":SYST:ERR?\n"), "+0,\"No error\"\n");
  EXPECT_EQ(query("*IDN?\n"), "BENCHLAB,BL-7000,SN000123,MAIN 2.5.0\n");
  EXPECT_EQ(query(":DIAG:HW:HOST:FW:MAIN?\n"), "1\n");
  EXPECT_EQ(query("*OPC?\n"), "1\n");
  EXPECT_EQ(query("*STB?\n"), "0\n");
  EXPECT_EQ(query("*IDN?;*OPC?;:SYST:ERR?\n"),
            "BENCHLAB,BL-7000,SN000123,MAIN 2.5.0;1;+0,\"No error\"\n");
  EXPECT_TRUE(instrument->errorQueue().empty());
}

TEST_F(InstrumentTest, ErrorQueueKeepsTheOldestAndMarksOverflow) {
  start();
  send("NOPE\n");
  EXPECT_EQ(query("*STB?\n"), "4\n");  // error queue not empty
  EXPECT_EQ(query(":SYST:ERR?\n"), "-113,\"Undefined header\"\n");
  for (int i = 0; i < 32; ++i) instrument->pushError({-100 - i, "e"});
  std::vector<int> expected;
  for (int i = 0; i < 29; ++i) expected.push_back(-100 - i);
  expected.push_back(-350);
  EXPECT_EQ(errorCodes(), expected);
  EXPECT_EQ(query(":SYST:ERR?\n"), "-100,\"e\"\n");
  send("*CLS\n");
  EXPECT_EQ(query(":SYST:ERR?\n"), "+0,\"No error\"\n");
}

TEST_F(InstrumentTest, StatusByteShowsAWaitingResponse) {
  start();
  send("*IDN?\n");
  EXPECT_EQ(session->statusByte() & 0x10, 0x10);
  read();
  EXPECT_EQ(session->statusByte(), 0);
}

TEST_F(InstrumentTest, UnreadResponseIsInterruptedAndAnUnaskedReadIsUnterminated) {
  start();
  send("*IDN?\n");
  EXPECT_EQ(query("*OPC?\n"), "1\n");
  std::uint8_t byte;
  EXPECT_EQ(session->readResponse(&byte, 1, 10ms).status, Session::ReadResult::Status::timeout);
  EXPECT_EQ(errorCodes(), (std::vector<int>{-410, -420}));
}

TEST_F(InstrumentTest, DeviceClearForgetsAPartialDownload) {
  start();
  send(":DIAG:HW:HOST:FW:UPD:SUB #9000000100abc");
  session->deviceClear();
  EXPECT_EQ(query("*IDN?\n"), "BENCHLAB,BL-7000,SN000123,MAIN 2.5.0\n");
  EXPECT_TRUE(instrument->errorQueue().empty());
  EXPECT_FALSE(instrument->storedImage(App::sub));
}

struct DownloadCase {
  const char* name;
  bool acceptAny;
  std::string message;
  std::vector<int> errors;  // empty: the image is stored
};

TEST_F(InstrumentTest, DownloadsAreCheckedBeforeTheyAreStored) {
  const auto sub = makeImage(false, 1000, 0x010302);
  const auto main = makeImage(true, 1000, 0x020501);
  auto corrupted = sub;
  corrupted[500] ^= 1;
  const std::vector<std::uint8_t> shortImage(sub.begin(), sub.end() - 1);
  const std::vector<std::uint8_t> junk{'\n', 0, 'x'};
  const std::string updSub = ":DIAG:HW:HOST:FW:UPD:SUB";
  const DownloadCase cases[] = {
      {"good sub image", false, downloadMessage(updSub, sub), {}},
      {"main image while main runs", false,
       downloadMessage(":DIAG:HW:HOST:FW:UPD:MAIN", main), {-221}},
      {"corrupted", false, downloadMessage(updSub, corrupted), {-222}},
      {"cut short", false, downloadMessage(updSub, shortImage), {-222}},
      {"other application's image", false, downloadMessage(updSub, main), {-222}},
      {"any bytes when asked to", true, downloadMessage(updSub, junk), {}},
      {"no block", false, updSub + "\n", {-109}},
      {"text instead of a block", false, updSub + " 12\n", {-104}},
      {"block where none belongs", false, "*CLS #11x\n", {-108}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstrumentConfig config;
    config.acceptAnyImage = c.acceptAny;
    start(config);
    EXPECT_TRUE(send(c.message));
    EXPECT_EQ(query("*OPC?\n"), "1\n");
    EXPECT_EQ(errorCodes(), c.errors);
    EXPECT_EQ(instrument->storedImage(App::sub).has_value(), c.errors.empty());
    TearDown();
  }
}

TEST_F(InstrumentTest, RestartsIntoTheNamedApplicationWithTheStoredImage) {
  InstrumentConfig config;
  config.restartTime = 0ms;
  start(config);
  EXPECT_TRUE(send(downloadMessage(":DIAG:HW:HOST:FW:UPD:SUB", makeImage(false, 500, 0x010302))));
  EXPECT_FALSE(send(":DIAG:HW:HOST:REB:SUB\n"));
  EXPECT_FALSE(session->alive());
  reconnect();
  EXPECT_EQ(query("*IDN?;:DIAG:HW:HOST:FW:MAIN?\n"), "BENCHLAB,BL-7000,SN000123,SUB 1.3.2;0\n");
  // The sub application refuses its own image and takes the main one.
  send(downloadMessage(":DIAG:HW:HOST:FW:UPD:SUB", makeImage(false, 500, 0x010303)));
  EXPECT_EQ(errorCodes(), (std::vector<int>{-221}));
  send("*CLS\n");
  send(downloadMessage(":DIAG:HW:HOST:FW:UPD:MAIN", makeImage(true, 800, 0x020501)));
  EXPECT_FALSE(send(":DIAG:HW:HOST:REB:MAIN\n"));
  reconnect();
  EXPECT_EQ(query("*IDN?;:DIAG:HW:HOST:FW:MAIN?\n"), "BENCHLAB,BL-7000,SN000123,MAIN 2.5.1;1\n");
  EXPECT_EQ(instrument->storedImage(App::main)->size(), 800u);
  // The last "up" may still be on its way to the listener.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (events.get() != "up down up down up " && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(events.get(), "up down up down up ");
}

TEST_F(InstrumentTest, ARestartDropsEveryClientAndReleasesTheLock) {
  InstrumentConfig config;
  config.restartTime = 0ms;
  start(config);
  Session other(*instrument, "other", ResponseMode::pushed);
  int a = 0, b = 0;
  EXPECT_TRUE(instrument->lock(&a, 0ms));
  EXPECT_FALSE(instrument->lock(&b, 10ms));
  EXPECT_FALSE(instrument->unlock(&b));
  EXPECT_TRUE(instrument->lockedByOther(&b));
  send(":DIAG:HW:HOST:REB:MAIN\n");
  EXPECT_FALSE(other.alive());
  const std::string idn = "*IDN?\n";
  EXPECT_FALSE(other.deliver(reinterpret_cast<const std::uint8_t*>(idn.data()), idn.size(), false));
  EXPECT_FALSE(instrument->lockedByOther(&b));
}

TEST_F(InstrumentTest, FaultsReplaceRepliesAndIgnoreRestarts) {
  InstrumentConfig config;
  config.restartTime = 0ms;
  config.faults.errorAt[2] = {-310, "System error"};
  config.faults.replies[CommandId::mainQuery] = "1\r";
  config.faults.ignoreRestartIntoSub = true;
  start(config);
  EXPECT_EQ(query(":SYST:ERR?\n"), "+0,\"No error\"\n");
  EXPECT_EQ(query(":SYST:ERR?\n"), "-310,\"System error\"\n");
  EXPECT_EQ(query(":SYST:ERR?\n"), "+0,\"No error\"\n");
  EXPECT_EQ(query(":DIAG:HW:HOST:FW:MAIN?\n"), "1\r\n");
  EXPECT_FALSE(send(":DIAG:HW:HOST:REB:SUB\n"));
  reconnect();
  EXPECT_EQ(instrument->runningApp(), App::main);
}

TEST_F(InstrumentTest, DropDownloadFaultCutsTheFirstDownloadOnly) {
  InstrumentConfig config;
  config.faults.dropDownloadAfter = 100;
  config.faults.dropApp = App::sub;
  start(config);
  const auto message = downloadMessage(":DIAG:HW:HOST:FW:UPD:SUB", makeImage(false, 1000, 0x010302));
  EXPECT_FALSE(send(message));
  EXPECT_FALSE(instrument->storedImage(App::sub));
  reconnect();
  EXPECT_TRUE(send(message));
  EXPECT_EQ(query("*OPC?\n"), "1\n");
  EXPECT_TRUE(instrument->storedImage(App::sub));
  EXPECT_TRUE(instrument->errorQueue().empty());
}

TEST_F(InstrumentTest, OpcThatNeverAnswersLeavesNoQueryError) {
  InstrumentConfig config;
  config.faults.opcNever = true;
  start(config);
  send("*OPC?\n");
  std::uint8_t byte;
  EXPECT_EQ(session->readResponse(&byte, 1, 20ms).status, Session::ReadResult::Status::timeout);
  EXPECT_TRUE(instrument->errorQueue().empty());
}

}  // namespace
}  // namespace benchfw::sim
