// The head of one outgoing RPC record: record mark, RPC header and the
// fixed fields of the arguments or results, up to the length word of a
// trailing opaque. The opaque bytes themselves are sent from where they
// lie (writev/sendmsg), followed by pad from kZeroPad, so an image is never
// copied into a message buffer.
#ifndef BENCHFW_RPC_OUTGOING_H
#define BENCHFW_RPC_OUTGOING_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "rpc/record.h"
#include "rpc/xdr.h"

namespace benchfw::rpc {

inline constexpr std::uint8_t kZeroPad[4] = {0, 0, 0, 0};

class OutgoingRecord {
 public:
  OutgoingRecord() { writer_.putU32(0); }  // record mark, sealed later
  OutgoingRecord(const OutgoingRecord&) = delete;
  OutgoingRecord& operator=(const OutgoingRecord&) = delete;

  // Empties the record for the next message.
  void clear() {
    writer_ = XdrWriter(buffer_, sizeof buffer_);
    writer_.putU32(0);
  }
  XdrWriter& xdr() { return writer_; }
  // Marks the record as one last fragment holding the head plus `tailBytes`
  // sent beside it (opaque data and pad). False when the head overflowed or
  // the record would not fit a fragment.
  bool seal(std::size_t tailBytes);
  std::span<const std::uint8_t> head() const { return {buffer_, writer_.size()}; }

 private:
  std::uint8_t buffer_[256];
  XdrWriter writer_{buffer_, sizeof buffer_};
};

}  // namespace benchfw::rpc

#endif
