// Numbers and argument/result layouts of the portmapper (version 2) and of
// the VXI-11 core channel, shared by the VISA library's client and the
// simulator's server. Field order is wire order. Structs that end in bulk
// data have a put...Head() that stops after the opaque's length word, so
// the caller can send the data from where it lies.
#ifndef BENCHFW_RPC_VXI11_WIRE_H
#define BENCHFW_RPC_VXI11_WIRE_H

#include <cstdint>
#include <span>
#include <string>

#include "rpc/xdr.h"

namespace benchfw::rpc {

namespace portmap {
inline constexpr std::uint32_t kProgram = 100000;
inline constexpr std::uint32_t kVersion = 2;
inline constexpr std::uint32_t kProcNull = 0;
inline constexpr std::uint32_t kProcGetPort = 3;
inline constexpr std::uint32_t kProtTcp = 6;
inline constexpr std::uint32_t kProtUdp = 17;
inline constexpr std::uint16_t kStandardPort = 111;

struct Mapping {
  std::uint32_t program = 0;
  std::uint32_t version = 0;
  std::uint32_t protocol = 0;
  std::uint32_t port = 0;
};
void putMapping(XdrWriter& out, const Mapping& m);
bool getMapping(XdrReader& in, Mapping* m);
}  // namespace portmap

namespace vxi11 {
inline constexpr std::uint32_t kCoreProgram = 0x0607AF;
inline constexpr std::uint32_t kCoreVersion = 1;

enum Procedure : std::uint32_t {
  kCreateLink = 10,
  kDeviceWrite = 11,
  kDeviceRead = 12,
  kDeviceReadStb = 13,
  kDeviceTrigger = 14,
  kDeviceClear = 15,
  kDeviceRemote = 16,
  kDeviceLocal = 17,
  kDeviceLock = 18,
  kDeviceUnlock = 19,
  kDeviceEnableSrq = 20,
  kDeviceDocmd = 22,
  kDestroyLink = 23,
  kCreateIntrChan = 25,
  kDestroyIntrChan = 26,
};

// Operation flags.
inline constexpr std::int32_t kFlagWaitLock = 0x01;
inline constexpr std::int32_t kFlagEnd = 0x08;
inline constexpr std::int32_t kFlagTermCharSet = 0x80;

// device_read reasons (may be OR-ed).
inline constexpr std::int32_t kReasonRequestCount = 1;
inline constexpr std::int32_t kReasonTermChar = 2;
inline constexpr std::int32_t kReasonEnd = 4;

enum Error : std::int32_t {
  kNoError = 0,
  kSyntaxError = 1,
  kDeviceNotAccessible = 3,
  kInvalidLinkId = 4,
  kParameterError = 5,
  kChannelNotEstablished = 6,
  kOperationNotSupported = 8,
  kOutOfResources = 9,
  kDeviceLocked = 11,
  kNoLockHeld = 12,
  kIoTimeout = 15,
  kIoError = 17,
  kInvalidAddress = 21,
  kAbort = 23,
  kChannelAlreadyEstablished = 29,
};

// Longest logical device name we accept ("inst0", "gpib0,7", ...).
inline constexpr std::size_t kMaxDeviceName = 256;

struct CreateLinkParms {
  std::int32_t clientId = 0;
  bool lockDevice = false;
  std::uint32_t lockTimeout = 0;
  std::string device;
};
struct CreateLinkResp {
  std::int32_t error = 0;
  std::int32_t lid = 0;
  std::uint32_t abortPort = 0;
  std::uint32_t maxRecvSize = 0;
};
struct WriteParms {
  std::int32_t lid = 0;
  std::uint32_t ioTimeout = 0;
  std::uint32_t lockTimeout = 0;
  std::int32_t flags = 0;
  std::span<const std::uint8_t> data;  // a view into the received record
};
struct WriteResp {
  std::int32_t error = 0;
  std::uint32_t size = 0;
};
struct ReadParms {
  std::int32_t lid = 0;
  std::uint32_t requestSize = 0;
  std::uint32_t ioTimeout = 0;
  std::uint32_t lockTimeout = 0;
  std::int32_t flags = 0;
  std::uint8_t termChar = 0;
};
struct ReadResp {
  std::int32_t error = 0;
  std::int32_t reason = 0;
  std::span<const std::uint8_t> data;  // a view into the received record
};
// The two timeouts come in the opposite order to write/read.
struct GenericParms {
  std::int32_t lid = 0;
  std::int32_t flags = 0;
  std::uint32_t lockTimeout = 0;
  std::uint32_t ioTimeout = 0;
};
struct ReadStbResp {
  std::int32_t error = 0;
  std::uint8_t stb = 0;
};
struct LockParms {
  std::int32_t lid = 0;
  std::int32_t flags = 0;
  std::uint32_t lockTimeout = 0;
};

void putCreateLinkParms(XdrWriter& out, const CreateLinkParms& p);
bool getCreateLinkParms(XdrReader& in, CreateLinkParms* p);
void putCreateLinkResp(XdrWriter& out, const CreateLinkResp& r);
bool getCreateLinkResp(XdrReader& in, CreateLinkResp* r);

// Everything up to and including the data's length word.
void putWriteParmsHead(XdrWriter& out, const WriteParms& p, std::uint32_t dataSize);
bool getWriteParms(XdrReader& in, WriteParms* p);
void putWriteResp(XdrWriter& out, const WriteResp& r);
bool getWriteResp(XdrReader& in, WriteResp* r);

void putReadParms(XdrWriter& out, const ReadParms& p);
bool getReadParms(XdrReader& in, ReadParms* p);
void putReadRespHead(XdrWriter& out, const ReadResp& r, std::uint32_t dataSize);
bool getReadResp(XdrReader& in, ReadResp* r);

void putGenericParms(XdrWriter& out, const GenericParms& p);
bool getGenericParms(XdrReader& in, GenericParms* p);
void putReadStbResp(XdrWriter& out, const ReadStbResp& r);
bool getReadStbResp(XdrReader& in, ReadStbResp* r);

void putLockParms(XdrWriter& out, const LockParms& p);
bool getLockParms(XdrReader& in, LockParms* p);

}  // namespace vxi11
}  // namespace benchfw::rpc

#endif
