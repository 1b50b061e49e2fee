#include "sim/dialogue_log.h"

#include <cinttypes>

namespace benchfw::sim {

DialogueLog::DialogueLog() : start_(std::chrono::steady_clock::now()) {}

DialogueLog::~DialogueLog() {
  if (file_) std::fclose(file_);
}

bool DialogueLog::open(const std::string& path, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    if (error) *error = "cannot write the log file " + path;
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = f;
  return true;
}

bool DialogueLog::enabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_ != nullptr;
}

void DialogueLog::line(std::string_view who, std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(file_, "%.3f %.*s %.*s\n", seconds, static_cast<int>(who.size()), who.data(),
               static_cast<int>(text.size()), text.data());
  // Line by line, so that a log read while the simulator runs (or after it
  // was killed) is complete up to the last event.
  std::fflush(file_);
}

void DialogueLog::received(std::string_view who, std::string_view shownMessage) {
  line(who, "<- \"" + std::string(shownMessage) + "\"");
}

void DialogueLog::sent(std::string_view who, std::string_view bytes) {
  line(who, "-> " + quote(bytes));
}

std::string DialogueLog::quote(std::string_view bytes, std::size_t limit) {
  const std::size_t shown = bytes.size() < limit ? bytes.size() : limit;
  std::string out = "\"" + escape(bytes.substr(0, shown)) + "\"";
  if (shown < bytes.size())
    out += " ... (" + std::to_string(bytes.size() - shown) + " more bytes)";
  return out;
}

std::string DialogueLog::escape(std::string_view bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          static const char hex[] = "0123456789abcdef";
          out += "\\x";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        }
    }
  }
  return out;
}

std::string DialogueLog::blockSummary(std::size_t size, std::uint32_t crc) {
  char text[64];
  std::snprintf(text, sizeof text, "<block %zu bytes crc32 %08" PRIx32 ">", size, crc);
  return text;
}

}  // namespace benchfw::sim
