#include "session.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace benchfw::visa {
namespace {

// VISA hands string attributes back in a caller's ViChar[256].
constexpr std::size_t kAttrStringSize = 256;

void copyAttrString(const std::string& text, void* out) {
  std::size_t n = std::min(text.size(), kAttrStringSize - 1);
  std::memcpy(out, text.data(), n);
  static_cast<char*>(out)[n] = '\0';
}

bool isBoolean(ViAttrState v) { return v == VI_TRUE || v == VI_FALSE; }

template <typename T>
void store(void* out, T value) {
  std::memcpy(out, &value, sizeof value);
}

}  // namespace

Session::Session(std::unique_ptr<Transport> transport, ResourceName name,
                 ViAccessMode lockState)
    : transport_(std::move(transport)), name_(std::move(name)), lockState_(lockState) {
  pending_.reserve(writeCapacity_);
}

ViStatus Session::close() {
  if (!transport_) return VI_ERROR_INV_OBJECT;
  ViStatus st = transport_->close();
  transport_.reset();
  return st < VI_SUCCESS ? VI_ERROR_CLOSING_FAILED : VI_SUCCESS;
}

// ---- attributes --------------------------------------------------------------

// Read termination is kept here for viRead's status and also handed to the
// transport, which may need it on the wire (a socket ends messages at the
// character; VXI-11 sends it with each read request). A transport that has
// no use for it says VI_ERROR_NSUP_ATTR, which is fine.
template <typename Store>
ViStatus Session::shareWithTransport(ViAttr attr, ViAttrState value, Store store) {
  ViStatus st = transport_->setAttribute(attr, value);
  if (st < VI_SUCCESS && st != VI_ERROR_NSUP_ATTR) return st;
  store();
  return VI_SUCCESS;
}

ViStatus Session::setAttribute(ViAttr attr, ViAttrState value) {
  switch (attr) {
    case VI_ATTR_TMO_VALUE:
      if (value > 0xFFFFFFFFu) return VI_ERROR_NSUP_ATTR_STATE;
      timeoutMs_ = static_cast<ViUInt32>(value);
      return VI_SUCCESS;
    case VI_ATTR_SEND_END_EN:
    case VI_ATTR_SUPPRESS_END_EN:
      if (!isBoolean(value)) return VI_ERROR_NSUP_ATTR_STATE;
      (attr == VI_ATTR_SEND_END_EN ? sendEnd_ : suppressEnd_) = value == VI_TRUE;
      return VI_SUCCESS;
    case VI_ATTR_TERMCHAR_EN:
      if (!isBoolean(value)) return VI_ERROR_NSUP_ATTR_STATE;
      return shareWithTransport(attr, value, [&] { termCharEnabled_ = value == VI_TRUE; });
    case VI_ATTR_TERMCHAR:
      if (value > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
      return shareWithTransport(attr, value, [&] { termChar_ = static_cast<ViUInt8>(value); });
    case VI_ATTR_WR_BUF_OPER_MODE:
      if (value != VI_FLUSH_ON_ACCESS && value != VI_FLUSH_WHEN_FULL) return VI_ERROR_NSUP_ATTR_STATE;
      writeMode_ = static_cast<ViUInt16>(value);
      return VI_SUCCESS;
    case VI_ATTR_RD_BUF_OPER_MODE:
      if (value != VI_FLUSH_ON_ACCESS && value != VI_FLUSH_DISABLE) return VI_ERROR_NSUP_ATTR_STATE;
      readMode_ = static_cast<ViUInt16>(value);
      return VI_SUCCESS;
    case VI_ATTR_WR_BUF_SIZE:
    case VI_ATTR_RD_BUF_SIZE:
    case VI_ATTR_RSRC_NAME:
    case VI_ATTR_RSRC_LOCK_STATE:
    case VI_ATTR_TCPIP_ADDR:
    case VI_ATTR_TCPIP_PORT:
    case VI_ATTR_TCPIP_DEVICE_NAME:
      return VI_ERROR_ATTR_READONLY;
    default:
      return transport_->setAttribute(attr, value);
  }
}

ViStatus Session::getAttribute(ViAttr attr, void* out) const {
  if (!out) return VI_ERROR_INV_PARAMETER;
  switch (attr) {
    case VI_ATTR_TMO_VALUE: store<ViUInt32>(out, timeoutMs_); break;
    case VI_ATTR_SEND_END_EN: store<ViBoolean>(out, sendEnd_); break;
    case VI_ATTR_TERMCHAR_EN: store<ViBoolean>(out, termCharEnabled_); break;
    case VI_ATTR_SUPPRESS_END_EN: store<ViBoolean>(out, suppressEnd_); break;
    case VI_ATTR_TERMCHAR: store<ViUInt8>(out, termChar_); break;
    case VI_ATTR_WR_BUF_OPER_MODE: store<ViUInt16>(out, writeMode_); break;
    case VI_ATTR_RD_BUF_OPER_MODE: store<ViUInt16>(out, readMode_); break;
    case VI_ATTR_WR_BUF_SIZE: store<ViUInt32>(out, static_cast<ViUInt32>(writeCapacity_)); break;
    case VI_ATTR_RD_BUF_SIZE: store<ViUInt32>(out, static_cast<ViUInt32>(readCapacity_)); break;
    case VI_ATTR_RSRC_LOCK_STATE: store<ViAccessMode>(out, lockState_); break;
    case VI_ATTR_RSRC_NAME: copyAttrString(name_.canonical, out); break;
    case VI_ATTR_TCPIP_ADDR: copyAttrString(name_.host, out); break;
    case VI_ATTR_TCPIP_PORT:
      if (name_.kind != ResourceName::Kind::socket) return VI_ERROR_NSUP_ATTR;
      store<ViUInt16>(out, name_.port);
      break;
    case VI_ATTR_TCPIP_DEVICE_NAME:
      if (name_.kind == ResourceName::Kind::socket) return VI_ERROR_NSUP_ATTR;
      copyAttrString(name_.device, out);
      break;
    default:
      return transport_->getAttribute(attr, out);
  }
  return VI_SUCCESS;
}

// ---- formatted write buffer ------------------------------------------------

ViStatus Session::send(const ConstBuffer* parts, std::size_t count, bool end, std::size_t* sent) {
  std::size_t ignored = 0;
  return transport_->write(parts, count, end, timeoutMs_, sent ? sent : &ignored);
}

ViStatus Session::writeBytes(const unsigned char* data, std::size_t size, bool endsMessage,
                             std::size_t* accepted) {
  *accepted = 0;
  const std::size_t before = pending_.size();  // always less than the capacity
  const std::size_t total = before + size;
  // What stays behind: the last partial buffer; when the message ends
  // here, at least its last byte, which has to carry END.
  std::size_t keep = total % writeCapacity_;
  if (endsMessage && keep == 0) keep = std::min(total, writeCapacity_);
  const std::size_t sendNow = total - keep;  // whole buffers, so more than `before`

  if (sendNow > 0) {
    const ConstBuffer parts[] = {{pending_.data(), before}, {data, sendNow - before}};
    std::size_t sent = 0;
    ViStatus st = send(parts, 2, false, &sent);
    if (st != VI_SUCCESS) {
      // The message is broken either way; stale bytes must not prefix the next one.
      pending_.clear();
      *accepted = sent > before ? sent - before : 0;
      return st;
    }
    pending_.assign(data + (sendNow - before), data + size);
  } else {
    pending_.insert(pending_.end(), data, data + size);
  }
  *accepted = size;
  return endsMessage ? flushWriteBuffer() : VI_SUCCESS;
}

ViStatus Session::sendPending(bool end) {
  if (pending_.empty()) return VI_SUCCESS;
  const ConstBuffer part{pending_.data(), pending_.size()};
  ViStatus st = send(&part, 1, end, nullptr);
  pending_.clear();
  return st;
}

ViStatus Session::flushWriteBuffer() { return sendPending(sendEnd_); }

ViStatus Session::afterFormattedWrite() {
  // The call's bytes leave now, but nothing says the message is complete.
  return writeMode_ == VI_FLUSH_ON_ACCESS ? sendPending(false) : VI_SUCCESS;
}

// ---- formatted read buffer -------------------------------------------------

ViStatus Session::fillReadBuffer(const Deadline& deadline) {
  input_.resize(readCapacity_);
  inputPos_ = 0;
  std::size_t got = 0;
  bool end = false;
  ViStatus st = transport_->read(input_.data(), input_.size(), &got, &end, deadline.remainingMs());
  if (st < VI_SUCCESS) {
    input_.clear();
    return st;
  }
  input_.resize(std::min(got, input_.size()));
  inputEndsMessage_ = end && !suppressEnd_;
  inMessage_ = !inputEndsMessage_;
  return VI_SUCCESS;
}

ViStatus Session::peekByte(const Deadline& deadline, int* byte) {
  if (inputPos_ == input_.size()) {
    if (ViStatus st = fillReadBuffer(deadline); st != VI_SUCCESS) return st;
    if (input_.empty()) {
      if (!inputEndsMessage_) return VI_ERROR_IO;  // a transport that broke its contract
      *byte = -1;
      return VI_SUCCESS;
    }
  }
  *byte = input_[inputPos_];
  return VI_SUCCESS;
}

bool Session::consumeByte() {
  ++inputPos_;
  return inputPos_ == input_.size() && inputEndsMessage_;
}

ViStatus Session::skipRestOfMessage(const Deadline& deadline) {
  for (;;) {
    if (inputPos_ < input_.size()) {
      inputPos_ = input_.size();
      if (inputEndsMessage_) return VI_SUCCESS;
    }
    if (!inMessage_) return VI_SUCCESS;
    if (ViStatus st = fillReadBuffer(deadline); st != VI_SUCCESS) return st;
    if (input_.empty() && inputEndsMessage_) return VI_SUCCESS;
  }
}

void Session::discardReadBuffer() {
  input_.clear();
  inputPos_ = 0;
  inputEndsMessage_ = false;
}

ViStatus Session::flushReadBuffer(bool readToEnd) {
  ViStatus st = VI_SUCCESS;
  if (readToEnd) st = skipRestOfMessage(Deadline::after(timeoutMs_));
  discardReadBuffer();
  return st;
}

ViStatus Session::afterFormattedRead() {
  return readMode_ == VI_FLUSH_ON_ACCESS ? flushReadBuffer(true) : VI_SUCCESS;
}

ViStatus Session::setBufferSize(ViUInt16 mask, ViUInt32 size) {
  constexpr ViUInt16 kKnown = VI_READ_BUF | VI_WRITE_BUF | VI_IO_IN_BUF | VI_IO_OUT_BUF;
  if (mask == 0 || (mask & ~kKnown)) return VI_ERROR_INV_MASK;
  if (size == 0 || size > kMaxBufferSize) return VI_ERROR_ALLOC;
  if (mask & VI_WRITE_BUF) {
    ViStatus st = sendPending(false);
    if (st != VI_SUCCESS) return st;
    writeCapacity_ = size;
    pending_.reserve(size);
  }
  if (mask & VI_READ_BUF) {
    discardReadBuffer();
    readCapacity_ = size;
  }
  // The kernel's socket buffers are left as the system sized them.
  return VI_SUCCESS;
}

// ---- unbuffered operations -------------------------------------------------

ViStatus Session::rawWrite(const unsigned char* data, std::size_t size, std::size_t* sent) {
  const ConstBuffer part{data, size};
  return send(&part, 1, sendEnd_, sent);
}

ViStatus Session::rawRead(unsigned char* data, std::size_t size, std::size_t* got) {
  *got = 0;
  Deadline deadline = Deadline::after(timeoutMs_);
  while (*got < size) {
    std::size_t n = 0;
    bool end = false;
    ViStatus st = transport_->read(data + *got, size - *got, &n, &end, deadline.remainingMs());
    if (st < VI_SUCCESS) return st;
    *got += n;
    if (end && !suppressEnd_) {
      bool byTermChar = termCharEnabled_ && *got > 0 && data[*got - 1] == termChar_;
      return byTermChar ? VI_SUCCESS_TERM_CHAR : VI_SUCCESS;
    }
  }
  return VI_SUCCESS_MAX_CNT;
}

ViStatus Session::readStatusByte(ViUInt16* stb) { return transport_->readStb(stb, timeoutMs_); }

ViStatus Session::clear() {
  pending_.clear();
  discardReadBuffer();
  inMessage_ = false;
  return transport_->clear(timeoutMs_);
}

}  // namespace benchfw::visa
