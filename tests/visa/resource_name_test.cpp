#include <gtest/gtest.h>

#include "transport.h"
#include "visa.h"

namespace benchfw::visa {
namespace {

using Kind = ResourceName::Kind;

struct Accepted {
  const char* text;
  Kind kind;
  unsigned board;
  const char* host;
  std::uint16_t port;
  const char* device;
};

TEST(ResourceName, AcceptedFormsAndTheirParts) {
  const Accepted cases[] = {
      {"TCPIP0::192.168.1.20::5025::SOCKET", Kind::socket, 0, "192.168.1.20", 5025, ""},
      {"tcpip::scope.lab::5025::socket", Kind::socket, 0, "scope.lab", 5025, ""},
      {"TCPIP3::[fe80::1%eth0]::65535::SOCKET", Kind::socket, 3, "fe80::1%eth0", 65535, ""},
      {"TCPIP0::[::1]::5025::SOCKET", Kind::socket, 0, "::1", 5025, ""},
      {"TCPIP0::fe80::1::5025::SOCKET", Kind::socket, 0, "fe80::1", 5025, ""},
      {"TCPIP0::::1::5025::SOCKET", Kind::socket, 0, "::1", 5025, ""},
      {"TCPIP::10.0.0.5", Kind::vxi11, 0, "10.0.0.5", 0, "inst0"},
      {"TCPIP0::10.0.0.5::INSTR", Kind::vxi11, 0, "10.0.0.5", 0, "inst0"},
      {"TCPIP1::dmm::inst1::instr", Kind::vxi11, 1, "dmm", 0, "inst1"},
      {"TCPIP0::gw::gpib0,7::INSTR", Kind::vxi11, 0, "gw", 0, "gpib0,7"},
      // The class omitted: a VXI-11 device named "5025", not a socket.
      {"TCPIP0::10.0.0.5::5025", Kind::vxi11, 0, "10.0.0.5", 0, "5025"},
      {"TCPIP0::fe80::1::INSTR", Kind::vxi11, 0, "fe80::1", 0, "inst0"},
      {"TCPIP0::[fe80::2]::inst0::INSTR", Kind::vxi11, 0, "fe80::2", 0, "inst0"},
      {"TCPIP0::10.0.0.5::hislip0::INSTR", Kind::hislip, 0, "10.0.0.5", 0, "hislip0"},
      {"TCPIP0::10.0.0.5::HiSLIP0,4880", Kind::hislip, 0, "10.0.0.5", 0, "HiSLIP0,4880"},
      {"GPIB0::5::INSTR", Kind::otherInterface, 0, "", 0, ""},
      {"gpib1::5::3::INSTR", Kind::otherInterface, 1, "", 0, ""},
      {"USB0::0x1234::0x5678::SN42::INSTR", Kind::otherInterface, 0, "", 0, ""},
      {"ASRL1::INSTR", Kind::otherInterface, 1, "", 0, ""},
      {"VXI0::1::INSTR", Kind::otherInterface, 0, "", 0, ""},
      {"GPIB-VXI0::3::INSTR", Kind::otherInterface, 0, "", 0, ""},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.text);
    ResourceName name;
    ASSERT_EQ(parseResourceName(c.text, &name), VI_SUCCESS);
    EXPECT_EQ(name.kind, c.kind);
    EXPECT_EQ(name.board, c.board);
    EXPECT_EQ(name.host, c.host);
    EXPECT_EQ(name.port, c.port);
    EXPECT_EQ(name.device, c.device);
    EXPECT_EQ(name.canonical, c.text);
  }
}

TEST(ResourceName, MalformedNamesDoNotParse) {
  const char* cases[] = {
      "",
      "TCPIP0::10.0.0.5::SOCKET",          // no port
      "TCPIP0::10.0.0.5::x1::SOCKET",      // port not a number
      "TCPIP0::10.0.0.5::0::SOCKET",       // port out of range
      "TCPIP0::10.0.0.5::65536::SOCKET",
      "TCPIP0::10.0.0.5::-1::SOCKET",
      "TCPIP0::::5025::SOCKET",            // empty host
      "TCPIP0::[10.0.0.5]::5025::SOCKET",  // brackets hold only IPv6
      "TCPIP0::[fe80::1::5025::SOCKET",
      "TCPIP0::host name::5025::SOCKET",
      "TCPIP0::h::5025::SOCKET::extra",
      "TCPIPx::h::5025::SOCKET",
      "TCPIP0",
      "TCPIP0::INSTR",
      "TCPIP0::h::inst0::INSTR::more",
      "FOO0::1::INSTR",
      "GPIB0::::INSTR",
      " TCPIP0::h::5025::SOCKET",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    ResourceName name;
    EXPECT_EQ(parseResourceName(text, &name), VI_ERROR_INV_RSRC_NAME);
  }
  EXPECT_EQ(parseResourceName(nullptr, nullptr), VI_ERROR_INV_RSRC_NAME);
}

// What viOpen makes of each kind of name, with nothing of ours listening.
TEST(ResourceName, OpenOutcomes) {
  struct Case {
    const char* text;
    ViStatus status;
  } cases[] = {
      {"TCPIP0::10.0.0.5::x1::SOCKET", VI_ERROR_INV_RSRC_NAME},
      {"FOO0::1::INSTR", VI_ERROR_INV_RSRC_NAME},
      {"GPIB0::5::INSTR", VI_ERROR_RSRC_NFOUND},
      {"USB0::0x1234::0x5678::SN42::INSTR", VI_ERROR_RSRC_NFOUND},
      {"ASRL1::INSTR", VI_ERROR_RSRC_NFOUND},
      {"TCPIP0::127.0.0.1::hislip0::INSTR", VI_ERROR_RSRC_NFOUND},
  };
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ViSession vi = 12345;
    EXPECT_EQ(viOpen(rm, c.text, VI_EXCLUSIVE_LOCK, 100, &vi), c.status);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
  }
  viClose(rm);
}

}  // namespace
}  // namespace benchfw::visa
