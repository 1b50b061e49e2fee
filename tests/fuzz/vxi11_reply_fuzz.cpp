// Replies as a VXI-11 instrument (or anything listening on its core port)
// may send them: the byte stream of RPC records that our client decodes --
// record marks and fragments, RPC reply headers with their verifiers and
// transaction ids, and the create_link, device_write, device_read,
// device_readstb, device_clear and destroy_link results.
//
// Input: two control bytes, then everything the server says.
//   [0] four operations after create_link, two bits each: a reply read
//       with "%#t" into the updater's 1024-byte buffer, a status byte read,
//       a device clear, a command write
//   [1] bit 0: create the link with the device lock; bits 1-2: the read
//       buffer size
// The server hangs up after its bytes, so a call whose reply is missing
// ends at once instead of waiting for its timeout. Transaction ids start at
// 1, as the seed corpus has them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "socket_peer.h"
#include "transport.h"

namespace {

using benchfw::fuzz::scan;
using benchfw::visa::Session;

constexpr std::size_t kReply = 1024;

void readReply(Session& session) {
  auto buffer = std::make_unique<char[]>(kReply);
  ViUInt32 count = kReply;
  if (scan(session, "%#t", &count, buffer.get()) != VI_SUCCESS) return;
  if (count > kReply || (count < kReply && buffer[count] != '\0')) std::abort();
}

void runOperation(Session& session, unsigned op) {
  switch (op) {
    case 0:
      readReply(session);
      break;
    case 1: {
      ViUInt16 stb = 0;
      if (session.readStatusByte(&stb) == VI_SUCCESS && stb > 255) std::abort();
      break;
    }
    case 2:
      session.clear();
      break;
    default: {
      static constexpr unsigned char kQuery[] = "*IDN?\n";
      std::size_t accepted = 0;
      session.writeBytes(kQuery, sizeof kQuery - 1, true, &accepted);
      if (accepted > sizeof kQuery - 1) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static constexpr ViUInt32 kReadBuffers[] = {4096, 1, 13, 1024};
  const bool exclusive = data[1] & 1;
  const ViUInt32 readBuffer = kReadBuffers[(data[1] >> 1) & 3];

  benchfw::fuzz::SocketPeer server;
  server.say(data + 2, size - 2);
  server.hangUp();

  std::unique_ptr<benchfw::visa::Transport> link;
  if (benchfw::visa::linkVxi11Transport(server.takeClient(), 1, "inst0", exclusive, 100,
                                        &link) != VI_SUCCESS)
    return 0;
  Session session(std::move(link), {}, exclusive ? VI_EXCLUSIVE_LOCK : VI_NO_LOCK);
  session.setAttribute(VI_ATTR_TMO_VALUE, 5000);
  session.setBufferSize(VI_READ_BUF, readBuffer);
  for (int i = 0; i < 4; ++i) runOperation(session, (data[0] >> (2 * i)) & 3);
  session.close();
  return 0;
}
