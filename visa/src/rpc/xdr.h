// XDR primitives for the ONC RPC messages that VXI-11 and the portmapper
// exchange. The writer fills a small caller-owned buffer (headers and fixed
// fields only: bulk opaque data travels beside it in an iovec, never copied
// in). The reader walks a received record without allocating; every length
// is checked against the bytes that remain and against a caller's cap.
//
// Both keep a sticky failure flag so a sequence of puts/gets can be checked
// once at the end.
#ifndef BENCHFW_RPC_XDR_H
#define BENCHFW_RPC_XDR_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace benchfw::rpc {

// Zero bytes that follow an opaque of length n to reach a multiple of four.
constexpr std::size_t xdrPad(std::size_t n) { return (4 - n % 4) % 4; }

class XdrWriter {
 public:
  XdrWriter(std::uint8_t* buffer, std::size_t capacity)
      : buffer_(buffer), capacity_(capacity) {}

  void putU32(std::uint32_t value);
  void putI32(std::int32_t value) { putU32(static_cast<std::uint32_t>(value)); }
  void putBool(bool value) { putU32(value ? 1u : 0u); }
  // Length, bytes and zero pad of a variable-length opaque or string.
  void putOpaque(const void* data, std::size_t size);
  void putString(std::string_view text) { putOpaque(text.data(), text.size()); }

  std::size_t size() const { return size_; }
  bool ok() const { return ok_; }
  const std::uint8_t* data() const { return buffer_; }
  // Overwrites a word written earlier (the record mark, once the length is known).
  void patchU32(std::size_t offset, std::uint32_t value);

 private:
  bool reserve(std::size_t n);

  std::uint8_t* buffer_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool ok_ = true;
};

class XdrReader {
 public:
  XdrReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit XdrReader(std::span<const std::uint8_t> bytes)
      : XdrReader(bytes.data(), bytes.size()) {}

  bool getU32(std::uint32_t* value);
  bool getI32(std::int32_t* value);
  // Any non-zero word reads as true: lenient towards sloppy peers.
  bool getBool(bool* value);
  // A view into the record (no copy). Fails when the length exceeds `cap`
  // or the bytes left. Pad bytes are skipped whatever their value; a pad cut
  // off by the end of the record is tolerated.
  bool getOpaque(std::span<const std::uint8_t>* view, std::size_t cap);
  bool getString(std::string* text, std::size_t cap);
  bool skip(std::size_t n);

  std::size_t remaining() const { return size_ - offset_; }
  bool ok() const { return ok_; }

 private:
  bool fail() { ok_ = false; return false; }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  bool ok_ = true;
};

// Big-endian word helpers for code that handles raw headers.
inline std::uint32_t loadBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
         (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}
inline void storeBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace benchfw::rpc

#endif
