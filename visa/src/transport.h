// The small interface behind which each protocol lives (one file per
// protocol: socket_transport.cpp, vxi11_transport.cpp). Everything common to
// all of them -- session handles, attributes, locks within the process, the
// formatted read and write buffers -- sits above it in the session layer.
//
// Contract for every transport:
//  * No exception escapes; every result is a ViStatus.
//  * Every call that waits is bounded by the timeout it is given, in
//    milliseconds (VI_TMO_INFINITE: no bound; VI_TMO_IMMEDIATE: do not wait
//    for the device).
//  * A transport owns its file descriptors and closes them in its
//    destructor, on every path.
#ifndef BENCHFW_VISA_TRANSPORT_H
#define BENCHFW_VISA_TRANSPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "visa.h"

namespace benchfw::visa {

// A parsed resource string.
struct ResourceName {
  enum class Kind { socket, vxi11, hislip, otherInterface };
  Kind kind = Kind::otherInterface;
  unsigned board = 0;
  std::string host;       // without brackets for an IPv6 literal
  std::uint16_t port = 0; // socket resources
  std::string device;     // VXI-11 logical device name, "inst0" by default
  std::string canonical;  // the name as given, for VI_ATTR_RSRC_NAME and lock keys
};

// One piece of a message to send, without copying it first.
struct ConstBuffer {
  const unsigned char* data;
  std::size_t size;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Sends the pieces in order as one stretch of a message. `end` asks for
  // the END indicator on the last byte: a VXI-11 device_write flag; a raw
  // socket has no wire form for it. Sets *sent to the bytes the device took.
  virtual ViStatus write(const ConstBuffer* parts, std::size_t count, bool end,
                         ViUInt32 timeoutMs, std::size_t* sent) = 0;

  // Reads at most `capacity` bytes of the current response message. Sets
  // *got, and *end when the last byte read ended the message (END, or the
  // line feed that ends a message on a raw socket).
  virtual ViStatus read(unsigned char* data, std::size_t capacity,
                        std::size_t* got, bool* end, ViUInt32 timeoutMs) = 0;

  // The status byte (serial poll, or *STB? where the protocol has none).
  virtual ViStatus readStb(ViUInt16* stb, ViUInt32 timeoutMs) = 0;

  // Device clear, or the nearest thing the protocol offers. Discards any
  // input the transport holds.
  virtual ViStatus clear(ViUInt32 timeoutMs) = 0;

  // Attributes a transport understands beyond the session layer's
  // (e.g. VI_ATTR_IO_PROT on a socket). VI_ERROR_NSUP_ATTR otherwise.
  virtual ViStatus setAttribute(ViAttr, ViAttrState) { return VI_ERROR_NSUP_ATTR; }
  virtual ViStatus getAttribute(ViAttr, void*) { return VI_ERROR_NSUP_ATTR; }

  // Orderly teardown (VXI-11 destroy_link). The destructor releases
  // everything whether or not this was called.
  virtual ViStatus close() { return VI_SUCCESS; }
};

class FileDescriptor;  // socket_io.h

// Parses a resource string; VI_ERROR_INV_RSRC_NAME when it does not parse.
ViStatus parseResourceName(const char* text, ResourceName* out);

// Opens the transport that serves `name`. `exclusive` asks the device
// itself for a lock where the protocol has one (VXI-11 lockDevice, with
// openTimeoutMs as lock_timeout).
ViStatus openSocketTransport(const ResourceName& name, ViUInt32 openTimeoutMs,
                             std::unique_ptr<Transport>* out);
ViStatus openVxi11Transport(const ResourceName& name, bool exclusive,
                            ViUInt32 openTimeoutMs,
                            std::unique_ptr<Transport>* out);

// The same transports over a stream socket that is already connected: the
// raw SCPI framing, or a VXI-11 link created on a core channel (its RPC
// transaction ids counted from `firstXid`). The opens above end in these;
// fuzzing drives them over a socketpair.
std::unique_ptr<Transport> adoptSocketTransport(FileDescriptor fd);
ViStatus linkVxi11Transport(FileDescriptor coreChannel, std::uint32_t firstXid,
                            const std::string& device, bool exclusive,
                            ViUInt32 openTimeoutMs, std::unique_ptr<Transport>* out);

}  // namespace benchfw::visa

#endif
