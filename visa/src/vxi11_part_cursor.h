// Walks the pieces of a gather write in chunks of a given size without
// copying them: a device_write chunk may end inside one piece (the pending
// formatted buffer) and the next start there and run into another (the
// image), as the link's maxRecvSize dictates.
#ifndef BENCHFW_VISA_VXI11_PART_CURSOR_H
#define BENCHFW_VISA_VXI11_PART_CURSOR_H

#include <algorithm>
#include <cstddef>
#include <vector>

#include "transport.h"

namespace benchfw::visa {

class PartCursor {
 public:
  PartCursor(const ConstBuffer* parts, std::size_t count) : parts_(parts), count_(count) {
    skipEmpty();
  }
  bool atEnd() const { return index_ == count_; }
  // The buffers of the next `limit` bytes (or fewer at the end).
  std::size_t take(std::size_t limit, std::vector<ConstBuffer>* out) {
    out->clear();
    std::size_t taken = 0;
    std::size_t index = index_;
    std::size_t offset = offset_;
    while (taken < limit && index < count_) {
      const std::size_t n = std::min(limit - taken, parts_[index].size - offset);
      if (n) out->push_back({parts_[index].data + offset, n});
      taken += n;
      offset += n;
      if (offset == parts_[index].size) {
        ++index;
        offset = 0;
      }
    }
    return taken;
  }
  void advance(std::size_t n) {
    while (n && index_ < count_) {
      const std::size_t step = std::min(n, parts_[index_].size - offset_);
      offset_ += step;
      n -= step;
      if (offset_ == parts_[index_].size) {
        ++index_;
        offset_ = 0;
      }
    }
    skipEmpty();
  }

 private:
  void skipEmpty() {
    while (index_ < count_ && parts_[index_].size == offset_) {
      ++index_;
      offset_ = 0;
    }
  }
  const ConstBuffer* parts_;
  std::size_t count_;
  std::size_t index_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace benchfw::visa

#endif
