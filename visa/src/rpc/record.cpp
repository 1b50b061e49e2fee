#include "rpc/record.h"

#include <algorithm>
#include <cstring>

#include "rpc/xdr.h"

namespace benchfw::rpc {

std::uint8_t* RecordAssembler::prepare(std::size_t* room) {
  if (state_ == State::header) {
    *room = sizeof header_ - headerHave_;
    return header_ + headerHave_;
  }
  if (state_ == State::body) {
    *room = fragmentLeft_;
    return storage_.data() + (size_ - fragmentLeft_);
  }
  *room = 0;
  return nullptr;
}

void RecordAssembler::commit(std::size_t n) {
  if (state_ == State::header) {
    headerHave_ += n;
    if (headerHave_ == sizeof header_) headerArrived();
  } else if (state_ == State::body) {
    fragmentLeft_ -= std::min(n, fragmentLeft_);
    if (fragmentLeft_ == 0) state_ = lastFragment_ ? State::complete : State::header;
  }
}

void RecordAssembler::headerArrived() {
  const std::uint32_t word = loadBe32(header_);
  headerHave_ = 0;
  lastFragment_ = (word & kLastFragment) != 0;
  const std::size_t length = word & kFragmentLengthMask;
  if (length > maxRecord_ - size_) {
    state_ = State::tooLarge;
    return;
  }
  if (length == 0) {
    // An empty fragment is legal; it only matters when it closes the record.
    state_ = lastFragment_ ? State::complete : State::header;
    return;
  }
  // Grows the storage at most once per fragment, never per byte.
  size_ += length;
  if (storage_.size() < size_) storage_.resize(size_);
  fragmentLeft_ = length;
  state_ = State::body;
}

std::size_t RecordAssembler::feed(const std::uint8_t* data, std::size_t n) {
  std::size_t used = 0;
  while (used < n && !done()) {
    std::size_t room = 0;
    std::uint8_t* dst = prepare(&room);
    const std::size_t take = std::min(room, n - used);
    if (take) std::memcpy(dst, data + used, take);
    used += take;
    commit(take);
  }
  return used;
}

void RecordAssembler::reset() {
  state_ = State::header;
  headerHave_ = 0;
  fragmentLeft_ = 0;
  lastFragment_ = false;
  size_ = 0;
}

}  // namespace benchfw::rpc
