#include "rpc/outgoing.h"

namespace benchfw::rpc {

bool OutgoingRecord::seal(std::size_t tailBytes) {
  const std::size_t body = writer_.size() - 4;
  if (!writer_.ok() || tailBytes > kFragmentLengthMask - body) return false;
  writer_.patchU32(0, kLastFragment | static_cast<std::uint32_t>(body + tailBytes));
  return writer_.ok();
}

}  // namespace benchfw::rpc
