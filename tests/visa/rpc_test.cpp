// The RPC codec shared by the VXI-11 client and server: known wire bytes,
// round trips of every VXI-11 struct, record marking under arbitrary TCP
// segmentation, and decoders facing hostile or sloppy input.
#include <gtest/gtest.h>

#include <ostream>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rpc/message.h"
#include "rpc/outgoing.h"
#include "rpc/record.h"
#include "rpc/vxi11_wire.h"
#include "rpc/xdr.h"
#include "xdr_bytes.h"

namespace {

using namespace benchfw::rpc;
using benchfw::fake::Bytes;

// Names parameterised cases after their `name` member.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& caseInfo) const { return caseInfo.param.name; }
};

using benchfw::fake::xdrWords;

// A whole outgoing record: head, then the bulk bytes and pad sent beside it.
Bytes assemble(const OutgoingRecord& rec, const Bytes& bulk = {}) {
  Bytes out(rec.head().begin(), rec.head().end());
  out.insert(out.end(), bulk.begin(), bulk.end());
  out.insert(out.end(), kZeroPad, kZeroPad + xdrPad(bulk.size()));
  return out;
}

// Messages whose bytes are written out in the VXI-11 and RPC notes.
struct GoldenCase {
  const char* name;
  friend void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }
  std::function<Bytes()> encode;
  Bytes expected;
};

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, EncodesTheDocumentedBytes) {
  EXPECT_EQ(GetParam().encode(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, Golden,
    ::testing::Values(
        GoldenCase{"GetPortCall",
                   [] {
                     OutgoingRecord rec;
                     putCallHeader(rec.xdr(), {1, kRpcVersion, portmap::kProgram,
                                               portmap::kVersion, portmap::kProcGetPort});
                     portmap::putMapping(rec.xdr(), {vxi11::kCoreProgram, 1, portmap::kProtTcp, 0});
                     rec.seal(0);
                     return assemble(rec);
                   },
                   xdrWords({0x80000038, 1, 0, 2, 0x186a0, 2, 3, 0, 0, 0, 0, 0x0607af, 1, 6, 0})},
        GoldenCase{"CreateLinkCall",
                   [] {
                     OutgoingRecord rec;
                     putCallHeader(rec.xdr(), {2, kRpcVersion, vxi11::kCoreProgram,
                                               vxi11::kCoreVersion, vxi11::kCreateLink});
                     vxi11::putCreateLinkParms(rec.xdr(), {12345, false, 10000, "inst0"});
                     rec.seal(0);
                     return assemble(rec);
                   },
                   xdrWords({0x80000040, 2, 0, 2, 0x0607af, 1, 10, 0, 0, 0, 0, 0x3039, 0, 0x2710,
                          5, 0x696e7374, 0x30000000})},
        GoldenCase{"GetPortReply",
                   [] {
                     OutgoingRecord rec;
                     putAcceptedReply(rec.xdr(), 1, AcceptStat::success);
                     rec.xdr().putU32(1024);
                     rec.seal(0);
                     return assemble(rec);
                   },
                   xdrWords({0x8000001c, 1, 1, 0, 0, 0, 0, 0x400})},
        GoldenCase{"DeviceWriteWithBulkBesideTheHead",
                   [] {
                     OutgoingRecord rec;
                     putCallHeader(rec.xdr(), {7, kRpcVersion, vxi11::kCoreProgram, 1,
                                               vxi11::kDeviceWrite});
                     vxi11::putWriteParmsHead(rec.xdr(), {3, 1000, 0, vxi11::kFlagEnd, {}}, 5);
                     rec.seal(5 + 3);
                     return assemble(rec, {'*', 'I', 'D', 'N', '?'});
                   },
                   xdrWords({0x80000044, 7, 0, 2, 0x0607af, 1, 11, 0, 0, 0, 0, 3, 1000, 0, 8, 5,
                          0x2a49444e, 0x3f000000})}),
    CaseName());

// Every VXI-11 struct survives put then get, trailing opaque data included.
TEST(Vxi11Wire, StructsRoundTrip) {
  std::uint8_t buf[512];
  const Bytes payload = {'a', 'b', 'c', 0, '\n'};
  Bytes storage;
  auto reader = [&](const XdrWriter& w, const Bytes& bulk = {}) {
    storage.assign(w.data(), w.data() + w.size());
    storage.insert(storage.end(), bulk.begin(), bulk.end());
    storage.insert(storage.end(), kZeroPad, kZeroPad + xdrPad(bulk.size()));
    return XdrReader(storage.data(), storage.size());
  };
  {
    XdrWriter w(buf, sizeof buf);
    vxi11::putCreateLinkParms(w, {-7, true, 100, "gpib0,7"});
    auto r = reader(w);
    vxi11::CreateLinkParms p;
    ASSERT_TRUE(vxi11::getCreateLinkParms(r, &p));
    EXPECT_EQ(p.clientId, -7);
    EXPECT_TRUE(p.lockDevice);
    EXPECT_EQ(p.lockTimeout, 100u);
    EXPECT_EQ(p.device, "gpib0,7");
    EXPECT_EQ(r.remaining(), 0u);
  }
  {
    XdrWriter w(buf, sizeof buf);
    vxi11::putCreateLinkResp(w, {11, 42, 0, 4096});
    auto r = reader(w);
    vxi11::CreateLinkResp p;
    ASSERT_TRUE(vxi11::getCreateLinkResp(r, &p));
    EXPECT_EQ(p.error, 11);
    EXPECT_EQ(p.lid, 42);
    EXPECT_EQ(p.maxRecvSize, 4096u);
  }
  {
    XdrWriter w(buf, sizeof buf);
    vxi11::putWriteParmsHead(w, {5, 2000, 100, vxi11::kFlagEnd | vxi11::kFlagWaitLock, {}},
                             static_cast<std::uint32_t>(payload.size()));
    auto r = reader(w, payload);
    vxi11::WriteParms p;
    ASSERT_TRUE(vxi11::getWriteParms(r, &p));
    EXPECT_EQ(p.lid, 5);
    EXPECT_EQ(p.ioTimeout, 2000u);
    EXPECT_EQ(p.lockTimeout, 100u);
    EXPECT_EQ(p.flags, 9);
    EXPECT_EQ(Bytes(p.data.begin(), p.data.end()), payload);
    EXPECT_EQ(r.remaining(), 0u);
  }
  {
    XdrWriter w(buf, sizeof buf);
    vxi11::putReadParms(w, {5, 1024, 3000, 0, vxi11::kFlagTermCharSet, '\n'});
    auto r = reader(w);
    vxi11::ReadParms p;
    ASSERT_TRUE(vxi11::getReadParms(r, &p));
    EXPECT_EQ(p.requestSize, 1024u);
    EXPECT_EQ(p.ioTimeout, 3000u);
    EXPECT_EQ(p.flags, vxi11::kFlagTermCharSet);
    EXPECT_EQ(p.termChar, '\n');
  }
  {
    XdrWriter w(buf, sizeof buf);
    vxi11::putReadRespHead(w, {0, vxi11::kReasonEnd, {}}, static_cast<std::uint32_t>(payload.size()));
    auto r = reader(w, payload);
    vxi11::ReadResp p;
    ASSERT_TRUE(vxi11::getReadResp(r, &p));
    EXPECT_EQ(p.reason, vxi11::kReasonEnd);
    EXPECT_EQ(Bytes(p.data.begin(), p.data.end()), payload);
  }
  {
    // Generic parms put lock_timeout before io_timeout.
    XdrWriter w(buf, sizeof buf);
    vxi11::putGenericParms(w, {1, 0, 10, 20});
    EXPECT_EQ(Bytes(w.data(), w.data() + w.size()), xdrWords({1, 0, 10, 20}));
    auto r = reader(w);
    vxi11::GenericParms p;
    ASSERT_TRUE(vxi11::getGenericParms(r, &p));
    EXPECT_EQ(p.lockTimeout, 10u);
    EXPECT_EQ(p.ioTimeout, 20u);
  }
  {
    XdrWriter w(buf, sizeof buf);
    vxi11::putReadStbResp(w, {0, 0x50});
    vxi11::putLockParms(w, {3, vxi11::kFlagWaitLock, 500});
    auto r = reader(w);
    vxi11::ReadStbResp s;
    vxi11::LockParms l;
    ASSERT_TRUE(vxi11::getReadStbResp(r, &s));
    ASSERT_TRUE(vxi11::getLockParms(r, &l));
    EXPECT_EQ(s.stb, 0x50);
    EXPECT_EQ(l.lockTimeout, 500u);
  }
}

// --- Record marking -------------------------------------------------------

// Builds a record out of fragments of the given sizes (the last one flagged).
Bytes fragmented(const Bytes& record, const std::vector<std::size_t>& sizes) {
  Bytes out;
  std::size_t at = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const bool last = i + 1 == sizes.size();
    std::uint8_t mark[4];
    storeBe32(mark, (last ? kLastFragment : 0u) | static_cast<std::uint32_t>(sizes[i]));
    out.insert(out.end(), mark, mark + 4);
    out.insert(out.end(), record.begin() + at, record.begin() + at + sizes[i]);
    at += sizes[i];
  }
  return out;
}

struct RecordCase {
  const char* name;
  friend void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }
  std::vector<std::size_t> fragments;  // sizes, summing to the record length
  std::size_t segment;                 // bytes handed over per TCP read
};

class Records : public ::testing::TestWithParam<RecordCase> {};

// Two records back to back on one stream, cut into segments of any size:
// each comes out whole and the reader never eats into the next one.
TEST_P(Records, ReassembleAcrossSegments) {
  const auto& c = GetParam();
  std::size_t total = 0;
  for (std::size_t s : c.fragments) total += s;
  Bytes first(total), second = {9, 8, 7, 6};
  for (std::size_t i = 0; i < total; ++i) first[i] = static_cast<std::uint8_t>(i * 7 + 1);
  Bytes stream = fragmented(first, c.fragments);
  const Bytes tail = fragmented(second, {4});
  stream.insert(stream.end(), tail.begin(), tail.end());

  RecordAssembler rec(1 << 20);
  std::vector<Bytes> got;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(c.segment, stream.size() - at);
    std::size_t used = 0;
    while (used < n) {
      used += rec.feed(stream.data() + at + used, n - used);
      if (rec.complete()) {
        got.emplace_back(rec.record().begin(), rec.record().end());
        rec.reset();
      }
    }
    at += n;
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], first);
  EXPECT_EQ(got[1], second);
  EXPECT_TRUE(rec.idle());
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, Records,
    ::testing::Values(RecordCase{"OneFragmentWhole", {40}, 4096},
                      RecordCase{"OneFragmentByteByByte", {40}, 1},
                      RecordCase{"ThreeFragmentsOddSegments", {5, 17, 3}, 3},
                      RecordCase{"EmptyFragmentsInsideAndLast", {8, 0, 12, 0}, 5},
                      RecordCase{"EmptyRecord", {0}, 2},
                      RecordCase{"LargeFragmentSmallSegments", {70000}, 1448}),
    CaseName());

TEST(RecordAssembler, RefusesARecordBeyondTheCapWithoutAllocatingIt) {
  RecordAssembler rec(1024);
  // Two fragments that fit alone but not together, then a hostile 2 GiB one.
  const Bytes stream = fragmented(Bytes(1500), {700, 800});
  rec.feed(stream.data(), stream.size());
  EXPECT_TRUE(rec.tooLarge());

  RecordAssembler hostile(1024);
  const Bytes mark = xdrWords({0xFFFFFFFF});
  hostile.feed(mark.data(), mark.size());
  EXPECT_TRUE(hostile.tooLarge());
  EXPECT_TRUE(hostile.record().empty());
}

// --- Decoders against hostile and sloppy peers ----------------------------

TEST(XdrReader, OpaqueLengthsAreCheckedAndPadIsTolerated) {
  {
    const Bytes b = xdrWords({8, 0x41424344});  // claims 8, holds 4
    XdrReader r(b.data(), b.size());
    std::span<const std::uint8_t> v;
    EXPECT_FALSE(r.getOpaque(&v, 100));
    std::uint32_t x = 0;
    EXPECT_FALSE(r.getU32(&x)) << "failure is sticky";
  }
  {
    const Bytes b = xdrWords({5, 0x41424344, 0x45000000});
    XdrReader r(b.data(), b.size());
    std::span<const std::uint8_t> v;
    EXPECT_FALSE(r.getOpaque(&v, 4)) << "over the caller's cap";
  }
  {
    const Bytes b = xdrWords({3, 0x414243FF, 7});  // non-zero pad byte
    XdrReader r(b.data(), b.size());
    std::span<const std::uint8_t> v;
    std::uint32_t next = 0;
    ASSERT_TRUE(r.getOpaque(&v, 16));
    EXPECT_EQ(std::string(v.begin(), v.end()), "ABC");
    ASSERT_TRUE(r.getU32(&next));
    EXPECT_EQ(next, 7u);
  }
  {
    Bytes b = xdrWords({3});
    b.insert(b.end(), {'A', 'B', 'C'});  // pad cut off by the end of the record
    XdrReader r(b.data(), b.size());
    std::span<const std::uint8_t> v;
    EXPECT_TRUE(r.getOpaque(&v, 16));
  }
}

struct ReplyCase {
  const char* name;
  friend void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }
  Bytes bytes;
  bool decodes;
  ReplyHeader expected;
  std::uint32_t resultWord;  // the first word of results, when succeeded
};

class Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Replies, Decode) {
  const auto& c = GetParam();
  XdrReader r(c.bytes.data(), c.bytes.size());
  ReplyHeader h;
  ASSERT_EQ(getReplyHeader(r, &h), c.decodes);
  if (!c.decodes) return;
  EXPECT_EQ(h.xid, c.expected.xid);
  EXPECT_EQ(h.accepted, c.expected.accepted);
  EXPECT_EQ(h.status, c.expected.status);
  EXPECT_EQ(h.low, c.expected.low);
  EXPECT_EQ(h.high, c.expected.high);
  if (h.succeeded()) {
    std::uint32_t w = 0;
    ASSERT_TRUE(r.getU32(&w));
    EXPECT_EQ(w, c.resultWord);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, Replies,
    ::testing::Values(
        ReplyCase{"Success", xdrWords({9, 1, 0, 0, 0, 0, 1234}), true, {9, true, 0, 0, 0}, 1234},
        // A verifier with a body: skipped by its length, not assumed empty.
        ReplyCase{"VerifierWithBody", xdrWords({9, 1, 0, 1, 6, 0x01020304, 0x0506FFFF, 0, 77}),
                  true, {9, true, 0, 0, 0}, 77},
        ReplyCase{"ProgMismatch", xdrWords({3, 1, 0, 0, 0, 2, 1, 1}), true, {3, true, 2, 1, 1}, 0},
        ReplyCase{"ProcUnavail", xdrWords({3, 1, 0, 0, 0, 3}), true, {3, true, 3, 0, 0}, 0},
        ReplyCase{"DeniedRpcMismatch", xdrWords({4, 1, 1, 0, 2, 2}), true, {4, false, 0, 2, 2}, 0},
        ReplyCase{"DeniedAuth", xdrWords({4, 1, 1, 1, 5}), true, {4, false, 1, 5, 0}, 0},
        ReplyCase{"ACallIsNoReply", xdrWords({4, 0, 2, 0x0607af, 1, 10}), false, {}, 0},
        ReplyCase{"BadReplyStat", xdrWords({4, 1, 2, 0}), false, {}, 0},
        ReplyCase{"Truncated", xdrWords({4, 1, 0, 0}), false, {}, 0},
        ReplyCase{"HugeVerifier", xdrWords({4, 1, 0, 0, 0x10000, 0}), false, {}, 0}),
    CaseName());

TEST(CallHeader, SkipsCredentialsOfAnyFlavour) {
  // AUTH_SYS credential with a 12-byte body, as some clients send.
  Bytes b = xdrWords({5, 0, 2, vxi11::kCoreProgram, 1, vxi11::kDeviceReadStb, 1, 12, 0, 0, 0, 0, 0, 42});
  XdrReader r(b.data(), b.size());
  CallHeader h;
  ASSERT_TRUE(getCallHeader(r, &h));
  EXPECT_EQ(h.xid, 5u);
  EXPECT_EQ(h.procedure, static_cast<std::uint32_t>(vxi11::kDeviceReadStb));
  std::uint32_t arg = 0;
  ASSERT_TRUE(r.getU32(&arg));
  EXPECT_EQ(arg, 42u);
}

}  // namespace
