#include "rpc/vxi11_wire.h"

#include <cstddef>

namespace benchfw::rpc {
namespace portmap {

void putMapping(XdrWriter& out, const Mapping& m) {
  out.putU32(m.program);
  out.putU32(m.version);
  out.putU32(m.protocol);
  out.putU32(m.port);
}

bool getMapping(XdrReader& in, Mapping* m) {
  return in.getU32(&m->program) && in.getU32(&m->version) &&
         in.getU32(&m->protocol) && in.getU32(&m->port);
}

}  // namespace portmap

namespace vxi11 {
namespace {

// char and unsigned char travel widened to a word; the value sits in the low byte.
bool getByteWord(XdrReader& in, std::uint8_t* value) {
  std::uint32_t word = 0;
  if (!in.getU32(&word)) return false;
  *value = static_cast<std::uint8_t>(word & 0xFF);
  return true;
}

}  // namespace

void putCreateLinkParms(XdrWriter& out, const CreateLinkParms& p) {
  out.putI32(p.clientId);
  out.putBool(p.lockDevice);
  out.putU32(p.lockTimeout);
  out.putString(p.device);
}

bool getCreateLinkParms(XdrReader& in, CreateLinkParms* p) {
  return in.getI32(&p->clientId) && in.getBool(&p->lockDevice) &&
         in.getU32(&p->lockTimeout) && in.getString(&p->device, kMaxDeviceName);
}

void putCreateLinkResp(XdrWriter& out, const CreateLinkResp& r) {
  out.putI32(r.error);
  out.putI32(r.lid);
  out.putU32(r.abortPort);
  out.putU32(r.maxRecvSize);
}

bool getCreateLinkResp(XdrReader& in, CreateLinkResp* r) {
  return in.getI32(&r->error) && in.getI32(&r->lid) && in.getU32(&r->abortPort) &&
         in.getU32(&r->maxRecvSize);
}

void putWriteParmsHead(XdrWriter& out, const WriteParms& p, std::uint32_t dataSize) {
  out.putI32(p.lid);
  out.putU32(p.ioTimeout);
  out.putU32(p.lockTimeout);
  out.putI32(p.flags);
  out.putU32(dataSize);
}

bool getWriteParms(XdrReader& in, WriteParms* p) {
  return in.getI32(&p->lid) && in.getU32(&p->ioTimeout) && in.getU32(&p->lockTimeout) &&
         in.getI32(&p->flags) && in.getOpaque(&p->data, in.remaining());
}

void putWriteResp(XdrWriter& out, const WriteResp& r) {
  out.putI32(r.error);
  out.putU32(r.size);
}

bool getWriteResp(XdrReader& in, WriteResp* r) {
  return in.getI32(&r->error) && in.getU32(&r->size);
}

void putReadParms(XdrWriter& out, const ReadParms& p) {
  out.putI32(p.lid);
  out.putU32(p.requestSize);
  out.putU32(p.ioTimeout);
  out.putU32(p.lockTimeout);
  out.putI32(p.flags);
  out.putU32(p.termChar);
}

bool getReadParms(XdrReader& in, ReadParms* p) {
  return in.getI32(&p->lid) && in.getU32(&p->requestSize) && in.getU32(&p->ioTimeout) &&
         in.getU32(&p->lockTimeout) && in.getI32(&p->flags) && getByteWord(in, &p->termChar);
}

void putReadRespHead(XdrWriter& out, const ReadResp& r, std::uint32_t dataSize) {
  out.putI32(r.error);
  out.putI32(r.reason);
  out.putU32(dataSize);
}

bool getReadResp(XdrReader& in, ReadResp* r) {
  return in.getI32(&r->error) && in.getI32(&r->reason) &&
         in.getOpaque(&r->data, in.remaining());
}

void putGenericParms(XdrWriter& out, const GenericParms& p) {
  out.putI32(p.lid);
  out.putI32(p.flags);
  out.putU32(p.lockTimeout);
  out.putU32(p.ioTimeout);
}

bool getGenericParms(XdrReader& in, GenericParms* p) {
  return in.getI32(&p->lid) && in.getI32(&p->flags) && in.getU32(&p->lockTimeout) &&
         in.getU32(&p->ioTimeout);
}

void putReadStbResp(XdrWriter& out, const ReadStbResp& r) {
  out.putI32(r.error);
  out.putU32(r.stb);
}

bool getReadStbResp(XdrReader& in, ReadStbResp* r) {
  return in.getI32(&r->error) && getByteWord(in, &r->stb);
}

void putLockParms(XdrWriter& out, const LockParms& p) {
  out.putI32(p.lid);
  out.putI32(p.flags);
  out.putU32(p.lockTimeout);
}

bool getLockParms(XdrReader& in, LockParms* p) {
  return in.getI32(&p->lid) && in.getI32(&p->flags) && in.getU32(&p->lockTimeout);
}

}  // namespace vxi11
}  // namespace benchfw::rpc
