// Sends the main image the way the updater does -- the header with
// viPrintf, the image with one viBufWrite, "\n*OPC?\n", then the "*OPC?"
// reply -- through our VISA library to a loopback peer that reads and
// discards, and the same bytes through a plain blocking socket to the same
// kind of peer. Prints one line per path: median milliseconds and MB/s over
// the repetitions, and the ratio of its speed to the plain socket's.
//
//   transfer_bench [repetitions]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "payload/images.h"
#include "transfer_peers.h"
#include "visa.h"

namespace {

using Clock = std::chrono::steady_clock;
using benchfw::mainAppImage;
using benchfw::mainAppImageSize;

const std::string header = ":DIAG:HW:HOST:FW:UPD:MAIN #9" + std::to_string(1000000000 + mainAppImageSize).substr(1);
const std::size_t messageBytes = header.size() + mainAppImageSize + 1 + 6;  // block, LF, "*OPC?\n"

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Plain blocking socket: what the transfer costs with nothing in between,
// the three pieces handed to the kernel in one gather write.
double sendThroughPlainSocket(int fd) {
  const auto start = Clock::now();
  static const char tail[] = "\n*OPC?\n";
  iovec parts[3] = {{const_cast<char*>(header.data()), header.size()},
                    {const_cast<unsigned char*>(mainAppImage), mainAppImageSize},
                    {const_cast<char*>(tail), sizeof tail - 1}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 3;
  for (std::size_t left = messageBytes; left;) {
    const ssize_t k = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (k <= 0) std::exit(3);
    left -= static_cast<std::size_t>(k);
    for (std::size_t done = static_cast<std::size_t>(k); done;) {  // skip what went out
      iovec& v = message.msg_iov[0];
      const std::size_t step = std::min(done, v.iov_len);
      v.iov_base = static_cast<char*>(v.iov_base) + step;
      v.iov_len -= step;
      done -= step;
      if (v.iov_len == 0 && message.msg_iovlen > 1) {
        ++message.msg_iov;
        --message.msg_iovlen;
      }
    }
  }
  char reply[8];
  std::size_t got = 0;
  while (got < 2) {
    const ssize_t k = ::recv(fd, reply + got, sizeof reply - got, 0);
    if (k <= 0) std::exit(3);
    got += static_cast<std::size_t>(k);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double sendThroughVisa(ViSession vi) {
  const auto start = Clock::now();
  ViUInt32 written = 0;
  char reply[1024];
  ViUInt32 length = sizeof reply - 1;
  if (viPrintf(vi, "%s #9%09d", ":DIAG:HW:HOST:FW:UPD:MAIN", static_cast<int>(mainAppImageSize)) != VI_SUCCESS ||
      viBufWrite(vi, mainAppImage, mainAppImageSize, &written) != VI_SUCCESS ||
      viPrintf(vi, "\n*OPC?\n") != VI_SUCCESS || viScanf(vi, "%#t", &length, reply) != VI_SUCCESS) {
    std::fprintf(stderr, "VISA transfer failed\n");
    std::exit(3);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int connectPlain(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::exit(3);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

ViSession openVisa(ViSession rm, const std::string& resource) {
  ViSession vi = VI_NULL;
  const ViStatus status = viOpen(rm, resource.c_str(), VI_EXCLUSIVE_LOCK, 100, &vi);
  if (status != VI_SUCCESS) {
    std::fprintf(stderr, "cannot open %s: status %d\n", resource.c_str(), static_cast<int>(status));
    std::exit(3);
  }
  viSetAttribute(vi, VI_ATTR_TMO_VALUE, 120000);
  return vi;
}

struct Row {
  std::string path;
  double ms;
};

void print(const Row& row, double baselineMs) {
  const double mbps = static_cast<double>(messageBytes) / 1e6 / (row.ms / 1000);
  std::printf("transfer  %-28s %9.2f ms %9.1f MB/s   ratio %.2f\n", row.path.c_str(), row.ms, mbps,
              baselineMs / row.ms);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 31;
  ViSession rm = VI_NULL;
  if (viOpenDefaultRM(&rm) != VI_SUCCESS) return 3;

  // Interleave the paths so that drift of the machine hits them alike.
  benchfw::bench::SocketDiscardPeer plainPeer(messageBytes), visaPeer(messageBytes);
  const int plainFd = connectPlain(plainPeer.port());
  const ViSession rawVi = openVisa(rm, "TCPIP0::127.0.0.1::" + std::to_string(visaPeer.port()) + "::SOCKET");
  std::vector<std::pair<std::string, ViSession>> vxiSessions;
  std::vector<std::unique_ptr<benchfw::bench::Vxi11DiscardPeer>> vxiPeers;
  for (std::uint32_t maxRecv : {1u << 20, 4096u}) {
    vxiPeers.push_back(std::make_unique<benchfw::bench::Vxi11DiscardPeer>(messageBytes, maxRecv));
    vxiSessions.emplace_back("VXI-11 maxRecvSize " + std::to_string(maxRecv),
                             openVisa(rm, vxiPeers.back()->resource()));
  }
  std::vector<double> plain, raw;
  std::vector<std::vector<double>> vxi(vxiSessions.size());
  for (int i = 0; i < reps; ++i) {
    plain.push_back(sendThroughPlainSocket(plainFd));
    raw.push_back(sendThroughVisa(rawVi));
    for (std::size_t k = 0; k < vxiSessions.size(); ++k) vxi[k].push_back(sendThroughVisa(vxiSessions[k].second));
  }
  const double baseline = median(plain);
  print({"plain blocking socket", baseline}, baseline);
  print({"VISA raw socket", median(raw)}, baseline);
  for (std::size_t k = 0; k < vxiSessions.size(); ++k) print({vxiSessions[k].first, median(vxi[k])}, baseline);
  ::close(plainFd);
  viClose(rm);
  return 0;
}
