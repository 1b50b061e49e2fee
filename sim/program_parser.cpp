#include "sim/program_parser.h"

#include <algorithm>

#include "payload/image_format.h"
#include "sim/dialogue_log.h"

namespace benchfw::sim {
namespace {

// The readable form of one message is cut here; a log line stays readable
// even when a client sends megabytes without a block header.
constexpr std::size_t shownLimit = 4096;

bool isWhitespace(std::uint8_t byte) { return byte <= 0x20 && byte != '\n'; }

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\v\f");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\v\f");
  return text.substr(first, last - first + 1);
}

}  // namespace

ProgramParser::FeedResult ProgramParser::feed(const std::uint8_t* data, std::size_t size,
                                              bool end, Handler& handler) {
  std::size_t i = 0;
  while (i < size) {
    atMessageStart_ = false;
    if (state_ == State::blockData) {
      std::uint64_t take = std::min<std::uint64_t>(blockRemaining_, size - i);
      if (stopAfter_) take = std::min<std::uint64_t>(take, *stopAfter_ - blockReceived_);
      if (blockStored_) unit_.block.insert(unit_.block.end(), data + i, data + i + take);
      blockCrc_ = image::crc32Update(blockCrc_, data + i, take);
      blockRemaining_ -= take;
      blockReceived_ += take;
      i += take;
      if (stopAfter_ && blockReceived_ >= *stopAfter_ && blockRemaining_ > 0)
        return FeedResult::stopped;
      if (blockRemaining_ == 0) {
        appendShown(DialogueLog::blockSummary(blockSize_, blockCrc_));
        state_ = State::text;
      }
      continue;
    }
    handleTextByte(data[i++], handler);
  }
  if (end && !atMessageStart_) {
    const bool insideBlock = state_ == State::blockDigitCount ||
                             state_ == State::blockLength || state_ == State::blockData;
    if (insideBlock) failUnit({-160, "Block data error"});
    endUnit(handler);
    endMessage(handler, !insideBlock);
  }
  return FeedResult::consumed;
}

void ProgramParser::handleTextByte(std::uint8_t byte, Handler& handler) {
  if (byte == '\n' && state_ != State::blockLength) {
    // A line feed ends the message wherever it stands outside a block: an
    // unterminated string must not swallow every later message.
    if (state_ == State::quoted) failUnit({-150, "String data error"});
    if (state_ == State::blockDigitCount) failUnit({-161, "Invalid block data"});
    endUnit(handler);
    endMessage(handler, true);
    return;
  }
  appendShown(DialogueLog::escape(std::string_view(reinterpret_cast<const char*>(&byte), 1)));
  switch (state_) {
    case State::skipToEnd:
      return;
    case State::quoted:
      unit_.parameters += static_cast<char>(byte);
      if (byte == static_cast<std::uint8_t>(quote_)) state_ = State::text;
      return;
    case State::blockDigitCount:
      if (byte >= '1' && byte <= '9') {
        lengthDigits_ = byte - '0';
        lengthText_.clear();
        state_ = State::blockLength;
      } else {
        // "#0" would need END to finish; anything else is not a block.
        failUnit({-161, "Invalid block data"});
        state_ = State::skipToEnd;
      }
      return;
    case State::blockLength:
      if (byte < '0' || byte > '9') {
        failUnit({-161, "Invalid block data"});
        state_ = State::skipToEnd;
        if (byte == '\n') {
          endUnit(handler);
          endMessage(handler, true);
        }
        return;
      }
      lengthText_ += static_cast<char>(byte);
      if (static_cast<int>(lengthText_.size()) == lengthDigits_) beginBlock(handler);
      return;
    case State::blockData:
      return;  // handled in feed()
    case State::text:
      break;
  }
  if (byte == ';') {
    endUnit(handler);
    return;
  }
  if (!inParameters_) {
    if (isWhitespace(byte)) {
      if (!unit_.header.empty()) inParameters_ = true;
    } else {
      unit_.header += static_cast<char>(byte);
    }
    return;
  }
  if (byte == '#') {
    if (unit_.hasBlock || !trimmed(unit_.parameters).empty())
      failUnit({-108, "Parameter not allowed"});
    state_ = State::blockDigitCount;
    return;
  }
  if (unit_.hasBlock && !isWhitespace(byte) && byte != ',') failUnit({-102, "Syntax error"});
  if (byte == '"' || byte == '\'') {
    quote_ = static_cast<char>(byte);
    state_ = State::quoted;
  }
  unit_.parameters += static_cast<char>(byte);
}

void ProgramParser::beginBlock(Handler& handler) {
  blockSize_ = std::stoull(lengthText_);
  blockRemaining_ = blockSize_;
  blockReceived_ = 0;
  blockCrc_ = 0;
  unit_.hasBlock = true;
  unit_.block.clear();
  blockStored_ = blockSize_ <= maxStoredBlock;
  if (!blockStored_) failUnit({-223, "Too much data"});
  // Grow with the data rather than trusting a count from the wire.
  unit_.block.reserve(std::min<std::uint64_t>(blockSize_, 1u << 20));
  stopAfter_ = handler.blockStarting(unit_.header);
  state_ = State::blockData;
  if (blockSize_ == 0) {
    appendShown(DialogueLog::blockSummary(0, 0));
    state_ = State::text;
  }
}

void ProgramParser::failUnit(ErrorEntry error) {
  if (!unit_.error) unit_.error = std::move(error);
}

void ProgramParser::endUnit(Handler& handler) {
  unit_.parameters = trimmed(unit_.parameters);
  const bool empty = unit_.header.empty() && unit_.parameters.empty() && !unit_.hasBlock &&
                     !unit_.error;
  if (!empty) handler.unitParsed(unit_);
  unit_ = ProgramUnit{};
  inParameters_ = false;
  if (state_ != State::skipToEnd) state_ = State::text;
}

void ProgramParser::endMessage(Handler& handler, bool complete) {
  std::string shown = std::move(shown_);
  if (shownDropped_ > 0) shown += "... (" + std::to_string(shownDropped_) + " more characters)";
  reset();
  handler.messageEnded(shown, complete);
}

void ProgramParser::reset() {
  state_ = State::text;
  quote_ = 0;
  atMessageStart_ = true;
  inParameters_ = false;
  unit_ = ProgramUnit{};
  lengthText_.clear();
  blockRemaining_ = 0;
  stopAfter_.reset();
  shown_.clear();
  shownDropped_ = 0;
}

void ProgramParser::appendShown(std::string_view text) {
  if (shown_.size() + text.size() > shownLimit) {
    shownDropped_ += text.size();
    return;
  }
  shown_ += text;
}

}  // namespace benchfw::sim
