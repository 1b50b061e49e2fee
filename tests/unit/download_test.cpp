#include "link/download.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "dialogue.h"
#include "payload/images.h"

namespace benchfw {
namespace {

using namespace testing;

constexpr ViSession vi = 8;

std::string fileBytes(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Image {
  const char* name;
  void (*update)(ViSession);
  const unsigned char* bytes;
  ViUInt32 size;
  const char* file;
  std::string header;
  std::string announcement;
  int tag;
};

const Image images[] = {
    {"sub", updateSubApp, subAppImage, subAppImageSize, BENCHFW_SUB_IMAGE_FILE,
     ":DIAG:HW:HOST:FW:UPD:SUB #9" + std::string(9 - std::to_string(subAppImageSize).size(), '0') +
         std::to_string(subAppImageSize),
     "Update sub app (" + std::to_string(subAppImageSize) + " bytes) ...", 131},
    {"main", updateMainApp, mainAppImage, mainAppImageSize, BENCHFW_MAIN_IMAGE_FILE,
     ":DIAG:HW:HOST:FW:UPD:MAIN #9" + std::string(9 - std::to_string(mainAppImageSize).size(), '0') +
         std::to_string(mainAppImageSize),
     "Update main app (" + std::to_string(mainAppImageSize) + " bytes) ...", 148},
};

TEST(Images, EmbeddedBlocksAreTheFilesTheBuildWasGiven) {
  for (const Image& img : images) {
    const std::string file = fileBytes(img.file);
    ASSERT_EQ(file.size(), img.size) << img.name;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(img.bytes), img.size), file) << img.name;
  }
}

TEST(Images, PlaceholdersHaveTheInstrumentsSizesAndBinaryBytesThroughout) {
  if (std::string(BENCHFW_MAIN_IMAGE_FILE).find("_placeholder.bin") == std::string::npos)
    GTEST_SKIP() << "built with real images";
  EXPECT_EQ(mainAppImageSize, 3740624u);
  EXPECT_EQ(subAppImageSize, 1032640u);
  for (const Image& img : images) {
    const std::string tail(reinterpret_cast<const char*>(img.bytes) + img.size - 1000, 1000);
    EXPECT_NE(tail.find('\0'), std::string::npos);
    EXPECT_NE(tail.find('\n'), std::string::npos);
  }
}

TEST(Download, SendsHeaderImageAndOpcAsTwoMessages) {
  for (const Image& img : images) {
    Script script;
    Step oddCount = call(Op::bufWrite);
    oddCount.reportedCount = 17;  // the status alone decides
    Step oddReply = replies("anything at all\n");
    script.expect({call(Op::printf), oddCount, call(Op::printf), oddReply});
    script.expect(errorCheck());
    const Outcome o = capture([&] { img.update(vi); });
    EXPECT_EQ(o.thrown, VI_SUCCESS);
    EXPECT_EQ(o.err, img.announcement + "...Done\n");

    // The header is 36 bytes for the sub image and 37 for the main one.
    EXPECT_EQ(img.header.size(), std::string(img.name) == "sub" ? 36u : 37u);
    ASSERT_EQ(script.messages().size(), 3u);
    const std::string& block = script.messages()[0].bytes;
    ASSERT_EQ(block.size(), img.header.size() + img.size + 1);
    EXPECT_EQ(block.substr(0, img.header.size()), img.header);
    EXPECT_TRUE(block.compare(img.header.size(), img.size,
                              reinterpret_cast<const char*>(img.bytes), img.size) == 0);
    EXPECT_EQ(block.back(), '\n');
    EXPECT_EQ(script.messages()[1].bytes, "*OPC?\n");
    EXPECT_EQ(script.messages()[2].bytes, ":SYST:ERR?\n");
    EXPECT_EQ(script.unterminated(vi), "");

    // One viBufWrite, straight from the embedded block, whole.
    const Call& write = script.calls()[1];
    EXPECT_EQ(write.op, Op::bufWrite);
    EXPECT_EQ(write.data, img.bytes);
    EXPECT_EQ(write.count, img.size);
  }
}

TEST(Download, FailureAtEachStepLeavesTheLineOpen) {
  const Image& img = images[1];
  const std::string entry = "-222,\"Data out of range\"\n";
  struct Case {
    const char* step;
    std::vector<Step> steps;
    ViStatus thrown;
    std::string report;
  } cases[] = {
      {"header", {fails(Op::printf, VI_ERROR_CONN_LOST)}, VI_ERROR_CONN_LOST, ""},
      {"image", {call(Op::printf), fails(Op::bufWrite, VI_ERROR_TMO)}, VI_ERROR_TMO, ""},
      {"trailer", {call(Op::printf), call(Op::bufWrite), fails(Op::printf, VI_ERROR_IO)}, VI_ERROR_IO, ""},
      {"opc reply",
       {call(Op::printf), call(Op::bufWrite), call(Op::printf), fails(Op::scanf, VI_ERROR_TMO)},
       VI_ERROR_TMO, ""},
      {"opc reply warning",
       {call(Op::printf), call(Op::bufWrite), call(Op::printf), fails(Op::scanf, VI_SUCCESS_MAX_CNT)},
       VI_SUCCESS_MAX_CNT, ""},
      {"instrument error",
       std::vector<Step>{call(Op::printf), call(Op::bufWrite), call(Op::printf), replies("1\n")} +
           errorCheck(entry),
       VI_ERROR_SYSTEM_ERROR, "(148) err=" + entry + "\n"},
  };
  for (const Case& c : cases) {
    Script script;
    script.expect(c.steps);
    const Outcome o = capture([&] { img.update(vi); });
    EXPECT_EQ(o.thrown, c.thrown) << c.step;
    EXPECT_EQ(o.err, img.announcement + c.report) << c.step;
  }
}

TEST(Download, SubImageErrorIsTagged131) {
  Script script;
  script.expect(std::vector<Step>{call(Op::printf), call(Op::bufWrite), call(Op::printf), replies("1\n")} +
                errorCheck("-350,\"Queue overflow\"\n"));
  const Outcome o = capture([] { updateSubApp(vi); });
  EXPECT_EQ(o.err, images[0].announcement + "(131) err=-350,\"Queue overflow\"\n\n");
}

TEST(Restart, SendsItsCommandAndALineFeedAndReadsNothing) {
  struct Case {
    void (*restart)(ViSession);
    std::string message;
  } cases[] = {{rebootMainApp, ":DIAG:HW:HOST:REB:MAIN\n"}, {rebootSubApp, ":DIAG:HW:HOST:REB:SUB\n"}};
  for (const Case& c : cases) {
    Script script;
    script.expect(restart());
    const Outcome o = capture([&] { c.restart(vi); });
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(script.messages().size(), 1u);
    EXPECT_EQ(script.messages()[0].bytes, c.message);
    EXPECT_EQ(script.calls().size(), 1u);
  }
  Script script;
  script.expect(fails(Op::printf, VI_ERROR_CONN_LOST));
  EXPECT_EQ(capture([] { rebootSubApp(vi); }).thrown, VI_ERROR_CONN_LOST);
}

}  // namespace
}  // namespace benchfw
