// The simulator's record of what it saw (--log FILE): one readable line per
// event -- a connection opened or closed, a program message received, a
// response sent, a restart -- with seconds since the start and the client's
// name, e.g.
//
//   3.214 raw#2 <- ":DIAG:HW:HOST:FW:UPD:SUB #9001032640<block 1032640 bytes crc32 1a2b3c4d>"
//   3.260 raw#2 -> "1\n"
//   3.301 instrument restarting into sub (3.000 s)
//
// Bytes that are not printable ASCII are escaped (\n, \r, \t, \\, \", \xHH),
// so a line never carries raw instrument bytes. Thread-safe; a log made
// without a file writes nothing.
#ifndef BENCHFW_SIM_DIALOGUE_LOG_H
#define BENCHFW_SIM_DIALOGUE_LOG_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace benchfw::sim {

class DialogueLog {
 public:
  DialogueLog();  // writes nothing
  ~DialogueLog();
  DialogueLog(const DialogueLog&) = delete;
  DialogueLog& operator=(const DialogueLog&) = delete;

  // Opens (truncates) `path`; false with *error set when it cannot.
  bool open(const std::string& path, std::string* error);
  bool enabled() const;

  // "<seconds> <who> <text>"; `who` is a client name or "instrument".
  void line(std::string_view who, std::string_view text);
  // `shownMessage` is already escaped (see escape()); it is quoted here.
  void received(std::string_view who, std::string_view shownMessage);
  void sent(std::string_view who, std::string_view bytes);

  // Escaped form of arbitrary bytes, without quotes.
  static std::string escape(std::string_view bytes);
  // Quoted, escaped form of arbitrary bytes, at most `limit` bytes shown
  // (the rest summarised as a count).
  static std::string quote(std::string_view bytes, std::size_t limit = 4096);
  // How a block appears inside a logged message.
  static std::string blockSummary(std::size_t size, std::uint32_t crc);

 private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  const std::chrono::steady_clock::time_point start_;
};

}  // namespace benchfw::sim

#endif
