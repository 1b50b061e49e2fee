// One open instrument session: its transport, its attributes and its two
// formatted I/O buffers. The caller holds mutex() for the whole of one API
// call, so that a viPrintf's bytes or a viScanf's reply are never
// interleaved with another thread's.
#ifndef BENCHFW_VISA_SESSION_H
#define BENCHFW_VISA_SESSION_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "socket_io.h"
#include "transport.h"
#include "visa.h"

namespace benchfw::visa {

class Session {
 public:
  static constexpr ViUInt32 kDefaultTimeoutMs = 2000;
  static constexpr ViUInt32 kDefaultBufferSize = 4096;
  static constexpr ViUInt32 kMaxBufferSize = 16u << 20;

  Session(std::unique_ptr<Transport> transport, ResourceName name, ViAccessMode lockState);

  std::mutex& mutex() { return mutex_; }
  bool isOpen() const { return transport_ != nullptr; }
  // Tears the transport down; every later operation reports VI_ERROR_INV_OBJECT.
  ViStatus close();

  ViUInt32 timeoutMs() const { return timeoutMs_; }
  ViStatus setAttribute(ViAttr attr, ViAttrState value);
  ViStatus getAttribute(ViAttr attr, void* value) const;

  // ---- formatted write buffer (viPrintf, viBufWrite) ----
  // Appends bytes; every time the buffer fills, the full buffer leaves
  // without END. A block larger than the buffer is not copied through it:
  // the pending bytes and the block go to the transport in one gather write,
  // and only the last partial buffer's worth stays behind, exactly as if
  // the block had been copied piece by piece. *accepted counts the caller's
  // bytes that were sent or kept.
  // With `endsMessage` the bytes finish a message: everything pending goes
  // out and the last byte carries END (when VI_ATTR_SEND_END_EN is set).
  ViStatus writeBytes(const unsigned char* data, std::size_t size, bool endsMessage,
                      std::size_t* accepted);
  ViStatus flushWriteBuffer();  // viFlush(VI_WRITE_BUF): pending bytes end the message
  ViStatus afterFormattedWrite();  // VI_FLUSH_ON_ACCESS
  void discardWriteBuffer() { pending_.clear(); }

  // ---- formatted read buffer (viScanf) ----
  // The next byte of the current reply without consuming it; fills the
  // buffer from the transport when it is empty. *byte is -1 when the
  // device ended a message without any byte (possible with END framing).
  ViStatus peekByte(const Deadline& deadline, int* byte);
  // Consumes the byte peekByte returned; true when it ended its message.
  bool consumeByte();
  // Reads on to the end of the message in progress and drops it.
  ViStatus skipRestOfMessage(const Deadline& deadline);
  ViStatus flushReadBuffer(bool readToEnd);  // viFlush(VI_READ_BUF[_DISCARD])
  ViStatus afterFormattedRead();  // VI_FLUSH_ON_ACCESS
  void discardReadBuffer();

  ViStatus setBufferSize(ViUInt16 mask, ViUInt32 size);  // viSetBuf

  // ---- unbuffered operations ----
  ViStatus rawWrite(const unsigned char* data, std::size_t size, std::size_t* sent);
  ViStatus rawRead(unsigned char* data, std::size_t size, std::size_t* got);
  ViStatus readStatusByte(ViUInt16* stb);
  ViStatus clear();

 private:
  template <typename Store>
  ViStatus shareWithTransport(ViAttr attr, ViAttrState value, Store store);
  ViStatus sendPending(bool end);
  ViStatus send(const ConstBuffer* parts, std::size_t count, bool end, std::size_t* sent);
  ViStatus fillReadBuffer(const Deadline& deadline);

  std::mutex mutex_;
  std::unique_ptr<Transport> transport_;
  ResourceName name_;
  ViAccessMode lockState_;

  ViUInt32 timeoutMs_ = kDefaultTimeoutMs;
  bool sendEnd_ = true;
  ViUInt8 termChar_ = '\n';
  bool termCharEnabled_ = false;
  bool suppressEnd_ = false;
  ViUInt16 writeMode_ = VI_FLUSH_WHEN_FULL;
  ViUInt16 readMode_ = VI_FLUSH_DISABLE;

  std::size_t writeCapacity_ = kDefaultBufferSize;
  std::vector<unsigned char> pending_;  // formatted bytes not yet sent

  std::vector<unsigned char> input_;  // one chunk of a reply, at most the read buffer size
  std::size_t inputPos_ = 0;
  std::size_t readCapacity_ = kDefaultBufferSize;
  bool inputEndsMessage_ = false;  // the chunk's last byte ended its message
  bool inMessage_ = false;         // a reply has started and its end has not been read
};

}  // namespace benchfw::visa

#endif
