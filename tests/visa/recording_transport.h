// A transport that keeps every write call as the session layer made it
// (pieces, bytes, END flag), for what the wire cannot show.
#ifndef BENCHFW_TESTS_VISA_RECORDING_TRANSPORT_H
#define BENCHFW_TESTS_VISA_RECORDING_TRANSPORT_H

#include <memory>
#include <string>
#include <vector>

#include "session.h"
#include "transport.h"

namespace benchfw::test {

struct WriteCall {
  std::vector<visa::ConstBuffer> parts;
  std::string bytes;
  bool end = false;
};

class RecordingTransport final : public visa::Transport {
 public:
  explicit RecordingTransport(std::vector<WriteCall>* calls) : calls_(calls) {}

  ViStatus write(const visa::ConstBuffer* parts, std::size_t count, bool end, ViUInt32,
                 std::size_t* sent) override {
    WriteCall call{{parts, parts + count}, {}, end};
    for (std::size_t i = 0; i < count; ++i) {
      call.bytes.append(reinterpret_cast<const char*>(parts[i].data), parts[i].size);
    }
    *sent = call.bytes.size();
    calls_->push_back(std::move(call));
    return VI_SUCCESS;
  }
  ViStatus read(unsigned char*, std::size_t, std::size_t* got, bool*, ViUInt32) override {
    *got = 0;
    return VI_ERROR_TMO;
  }
  ViStatus readStb(ViUInt16*, ViUInt32) override { return VI_ERROR_NSUP_OPER; }
  ViStatus clear(ViUInt32) override { return VI_SUCCESS; }

 private:
  std::vector<WriteCall>* calls_;
};

inline std::unique_ptr<visa::Session> recordingSession(std::vector<WriteCall>* calls) {
  return std::make_unique<visa::Session>(std::make_unique<RecordingTransport>(calls),
                                         visa::ResourceName{}, VI_NO_LOCK);
}

}  // namespace benchfw::test

#endif
