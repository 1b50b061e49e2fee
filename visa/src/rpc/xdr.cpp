#include "rpc/xdr.h"

#include <cstring>

namespace benchfw::rpc {

bool XdrWriter::reserve(std::size_t n) {
  if (!ok_ || capacity_ - size_ < n) {
    ok_ = false;
    return false;
  }
  return true;
}

void XdrWriter::putU32(std::uint32_t value) {
  if (!reserve(4)) return;
  storeBe32(buffer_ + size_, value);
  size_ += 4;
}

void XdrWriter::putOpaque(const void* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) {
    ok_ = false;
    return;
  }
  const std::size_t pad = xdrPad(size);
  if (!reserve(4 + size + pad)) return;
  putU32(static_cast<std::uint32_t>(size));
  if (size) std::memcpy(buffer_ + size_, data, size);
  size_ += size;
  std::memset(buffer_ + size_, 0, pad);
  size_ += pad;
}

void XdrWriter::patchU32(std::size_t offset, std::uint32_t value) {
  if (offset + 4 > size_) {
    ok_ = false;
    return;
  }
  storeBe32(buffer_ + offset, value);
}

bool XdrReader::getU32(std::uint32_t* value) {
  if (!ok_ || remaining() < 4) return fail();
  *value = loadBe32(data_ + offset_);
  offset_ += 4;
  return true;
}

bool XdrReader::getI32(std::int32_t* value) {
  std::uint32_t raw = 0;
  if (!getU32(&raw)) return false;
  *value = static_cast<std::int32_t>(raw);
  return true;
}

bool XdrReader::getBool(bool* value) {
  std::uint32_t raw = 0;
  if (!getU32(&raw)) return false;
  *value = raw != 0;
  return true;
}

bool XdrReader::getOpaque(std::span<const std::uint8_t>* view, std::size_t cap) {
  std::uint32_t length = 0;
  if (!getU32(&length)) return false;
  if (length > cap || length > remaining()) return fail();
  *view = {data_ + offset_, length};
  offset_ += length;
  const std::size_t pad = xdrPad(length);
  offset_ += pad < remaining() ? pad : remaining();
  return true;
}

bool XdrReader::getString(std::string* text, std::size_t cap) {
  std::span<const std::uint8_t> view;
  if (!getOpaque(&view, cap)) return false;
  text->assign(reinterpret_cast<const char*>(view.data()), view.size());
  return true;
}

bool XdrReader::skip(std::size_t n) {
  if (!ok_ || remaining() < n) return fail();
  offset_ += n;
  return true;
}

}  // namespace benchfw::rpc
