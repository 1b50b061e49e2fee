// The real benchfw against an instrument that misbehaves in every way a
// firmware or a network can: replies that hold printf directives or NUL
// bytes, replies that never end, a reply of a megabyte, and the connection
// reset at each step of the dialogue in turn. Each row is one ctest test
// (they run in parallel); a row passes when benchfw ends with the exit
// status its behaviour calls for (a death by signal never passes), writes
// exactly the expected standard error and nothing on standard output.
//
// The "Quick" rows end within seconds of the updater's own waits; the
// "Window" rows run into a 120 s bound (the I/O timeout of a read, or the
// retry window of the opening) and have a ctest TIMEOUT of their own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "updater_run.h"

namespace benchfw::hostile {
namespace {

using namespace std::chrono_literals;

struct Row {
  const char* name;
  std::vector<std::string> sim;  // fault flags
  int exitStatus;
  std::string (*expected)(const Texts&);
};

std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.name; }


// Bytes the updater sends on phase 1's connection before the sub image's
// block header: *STB?, *CLS, :SYST:ERR?, *IDN?, :SYST:ERR?, the state
// query, :SYST:ERR?, each with its line feed (a device clear sends nothing
// on a socket).
constexpr std::size_t kPhase1Dialogue = 6 + 5 + 11 + 6 + 11 + 23 + 11;
// ":DIAG:HW:HOST:FW:UPD:SUB #9001032640"
constexpr std::size_t kSubHeader = 36;

std::string bytesInto(std::size_t n) { return std::to_string(n); }

const std::string kFormatReply = "%s%n%x%p%%%99999999d%c%ls%hhn";

std::string phase1Failed(const Texts& t) { return kOpenVisa + t.open() + kVisaError; }
std::string subDownloadFailed(const Texts& t) {
  return kOpenVisa + t.phase(Texts::mainBefore(), "1") + t.subStarted() + kVisaError;
}
std::string mainDownloadFailed(const Texts& t) {
  return kOpenVisa + t.phase(Texts::mainBefore(), "1") + t.subDone() +
         t.phase(Texts::subAfter(), "0") + t.mainStarted() + kVisaError;
}

const Row kQuickRows[] = {
    // Printf directives are text: shown as they came, never interpreted.
    {"identity_with_format_directives", {"--reply", "*IDN?=" + kFormatReply}, 0,
     [](const Texts& t) { return t.fullUpdateShowing(kFormatReply + "\n"); }},
    {"error_entry_with_format_directives", {"--reply", ":SYST:ERR?=" + kFormatReply}, 1,
     [](const Texts& t) {
       return kOpenVisa + t.open() + t.instrumentError(79, kFormatReply + "\n") + kVisaError;
     }},
    // The completion reply is waited for, never shown.
    {"completion_with_format_directives", {"--reply", "*OPC?=" + kFormatReply}, 0,
     [](const Texts& t) { return t.fullUpdate(); }},
    // A NUL ends the text that is shown (and with it the reply's own line
    // feed), but the whole reply counts: "+0,\"No error\"\0" is an error.
    {"identity_with_nul", {"--reply", "*IDN?=BENCH\\0LAB"}, 0,
     [](const Texts& t) { return t.fullUpdateShowing("BENCH"); }},
    {"no_error_entry_with_nul", {"--reply", ":SYST:ERR?=+0,\"No error\"\\0"}, 1,
     [](const Texts& t) {
       return kOpenVisa + t.open() + t.instrumentError(79, "+0,\"No error\"") + kVisaError;
     }},
    // A reply of a megabyte: its first 1023 characters are kept, the rest
    // is read and dropped, and the dialogue stays in step.
    {"identity_of_a_megabyte", {"--reply", "*IDN?=X\\{1048576}"}, 0,
     [](const Texts& t) { return t.fullUpdateShowing(std::string(1023, 'X')); }},
    {"error_entry_of_a_megabyte", {"--reply", ":SYST:ERR?=E\\{1048576}"}, 1,
     [](const Texts& t) {
       return kOpenVisa + t.open() + t.instrumentError(79, std::string(1023, 'E')) + kVisaError;
     }},
    // The connection reset at each step, in the order of the dialogue. The
    // updater does not reconnect within a phase: the phase fails.
    {"reset_after_clear_status", {"--reset-after", "*CLS"}, 1, phase1Failed},
    {"reset_after_error_query_79", {"--reset-after", ":SYST:ERR?@1"}, 1, phase1Failed},
    {"reset_after_identity_query", {"--reset-after", "*IDN?"}, 1,
     [](const Texts& t) { return kOpenVisa + t.open() + "*IDN? = " + kVisaError; }},
    {"reset_after_error_query_87", {"--reset-after", ":SYST:ERR?@2"}, 1,
     [](const Texts& t) {
       return kOpenVisa + t.open() + t.identity(Texts::mainBefore()) + kVisaError;
     }},
    {"reset_after_state_query", {"--reset-after", ":DIAG:HW:HOST:FW:MAIN?"}, 1,
     [](const Texts& t) {
       return kOpenVisa + t.open() + t.identity(Texts::mainBefore()) +
              ":DIAG:HW:HOST:FW:MAIN? = " + kVisaError;
     }},
    {"reset_after_error_query_95", {"--reset-after", ":SYST:ERR?@3"}, 1,
     [](const Texts& t) { return kOpenVisa + t.phase(Texts::mainBefore(), "1") + kVisaError; }},
    {"reset_in_block_header", {"--reset-after-bytes", bytesInto(kPhase1Dialogue + 30)}, 1,
     subDownloadFailed},
    {"reset_in_image", {"--reset-after-bytes", bytesInto(kPhase1Dialogue + kSubHeader + 500000)},
     1, subDownloadFailed},
    {"reset_after_image_before_completion_query", {"--reset-after", ":DIAG:HW:HOST:FW:UPD:SUB"},
     1, subDownloadFailed},
    {"reset_after_completion_query", {"--reset-after", "*OPC?"}, 1, subDownloadFailed},
    {"reset_after_error_query_131", {"--reset-after", ":SYST:ERR?@4"}, 1, subDownloadFailed},
    // The instrument drops the link when it restarts: a reset there is the
    // normal path.
    {"reset_after_restart_into_sub", {"--reset-after", ":DIAG:HW:HOST:REB:SUB"}, 0,
     [](const Texts& t) { return t.fullUpdate(); }},
    {"reset_after_error_query_148", {"--reset-after", ":SYST:ERR?@8"}, 1, mainDownloadFailed},
    {"reset_after_restart_into_main", {"--reset-after", ":DIAG:HW:HOST:REB:MAIN"}, 0,
     [](const Texts& t) { return t.fullUpdate(); }},
    {"reset_after_last_state_query", {"--reset-after", ":DIAG:HW:HOST:FW:MAIN?@3"}, 1,
     [](const Texts& t) {
       return kOpenVisa + t.phase(Texts::mainBefore(), "1") + t.subDone() +
              t.phase(Texts::subAfter(), "0") + t.mainDone() + t.open() +
              t.identity(Texts::mainAfter()) + ":DIAG:HW:HOST:FW:MAIN? = " + kVisaError;
     }},
};

const Row kWindowRows[] = {
    // A reply without its line feed ends in the 120 s I/O timeout.
    {"identity_never_ends", {"--no-terminator", "*IDN?"}, 1,
     [](const Texts& t) { return kOpenVisa + t.open() + "*IDN? = " + kVisaError; }},
    {"completion_never_comes", {"--opc-delay", "never"}, 1, subDownloadFailed},
    // Each poll of the status byte ends in its 1 s timeout; the opening
    // keeps polling for its 120 s window.
    {"status_byte_never_ends", {"--no-terminator", "*STB?"}, 1, phase1Failed},
    {"reset_after_status_byte", {"--reset-after", "*STB?"}, 1, phase1Failed},
};

class HostileInstrument : public ::testing::TestWithParam<Row> {};

TEST_P(HostileInstrument, UpdaterEndsAsItsBehaviourSays) {
  const Row& row = GetParam();
  const ScratchDir scratch(std::string("hostile-") + row.name);
  const std::string& dir = scratch.path();
  Simulator sim(dir, row.sim);
  ASSERT_FALSE(sim.resource().empty()) << sim.errors();
  const Texts texts{sim.resource()};

  // Past every bound of the row (ctest's TIMEOUT is the real one); a run
  // still going then is stopped, so that no process outlives the test.
  const UpdaterRun run = runUpdater(dir, sim.resource(), 200s);
  ASSERT_TRUE(run.status.has_value()) << "benchfw did not end; it wrote:\n" << run.err;
  EXPECT_EQ(*run.status, row.exitStatus) << "(128 + N: killed by signal N)";
  EXPECT_EQ(run.err, row.expected(texts));
  EXPECT_EQ(run.out, "");
  if (HasFailure()) ADD_FAILURE() << "simulator log:\n" << sim.log().substr(0, 20000);
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Quick, HostileInstrument, ::testing::ValuesIn(kQuickRows), rowName);
INSTANTIATE_TEST_SUITE_P(Window, HostileInstrument, ::testing::ValuesIn(kWindowRows), rowName);

}  // namespace
}  // namespace benchfw::hostile
