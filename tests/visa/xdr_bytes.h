// Building expected wire bytes in tests: big-endian words and XDR opaques.
#ifndef BENCHFW_TESTS_XDR_BYTES_H
#define BENCHFW_TESTS_XDR_BYTES_H

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "rpc/xdr.h"

namespace benchfw::fake {

using Bytes = std::vector<std::uint8_t>;

inline Bytes xdrWords(std::initializer_list<std::uint32_t> words) {
  Bytes out;
  for (std::uint32_t w : words) {
    std::uint8_t b[4];
    rpc::storeBe32(b, w);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

// Length, bytes and pad of an opaque, appended to `out`.
inline void appendOpaque(Bytes& out, const Bytes& data) {
  const Bytes length = xdrWords({static_cast<std::uint32_t>(data.size())});
  out.insert(out.end(), length.begin(), length.end());
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), rpc::xdrPad(data.size()), 0);
}

}  // namespace benchfw::fake

#endif
