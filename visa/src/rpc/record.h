// Record marking for RPC over TCP. A message travels as one record made of
// fragments, each behind a 4-byte big-endian header: bit 31 marks the last
// fragment, bits 0-30 give the length. Records follow each other with no
// delimiter, so a reader must stop exactly at the end of the current one.
//
// RecordAssembler is a small state machine that works for a blocking
// reader and an event loop alike: prepare() says where the next bytes go
// (never past the current fragment, so nothing of the following record is
// consumed), commit() accounts for what arrived. Fragment bodies go straight
// into the record's storage; nothing is copied byte by byte. A cap on the
// record size keeps a hostile length from exhausting memory.
#ifndef BENCHFW_RPC_RECORD_H
#define BENCHFW_RPC_RECORD_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace benchfw::rpc {

inline constexpr std::uint32_t kLastFragment = 0x80000000u;
inline constexpr std::uint32_t kFragmentLengthMask = 0x7FFFFFFFu;

class RecordAssembler {
 public:
  explicit RecordAssembler(std::size_t maxRecord) : maxRecord_(maxRecord) {}

  // Where up to *room bytes of the stream should be written next. Valid
  // until the next commit() or reset(). Never called once done().
  std::uint8_t* prepare(std::size_t* room);
  // Accounts for n bytes written at prepare()'s pointer (n <= room).
  void commit(std::size_t n);

  // Convenience for callers holding bytes already: copies as much as
  // belongs to the current record and returns how many were used.
  std::size_t feed(const std::uint8_t* data, std::size_t n);

  bool complete() const { return state_ == State::complete; }
  bool tooLarge() const { return state_ == State::tooLarge; }
  bool done() const { return complete() || tooLarge(); }
  // True between records: nothing of the next one has arrived yet.
  bool idle() const { return state_ == State::header && headerHave_ == 0 && size_ == 0; }

  std::span<const std::uint8_t> record() const { return {storage_.data(), size_}; }
  // Starts the next record; keeps the storage for reuse.
  void reset();

 private:
  enum class State { header, body, complete, tooLarge };
  void headerArrived();

  std::size_t maxRecord_;
  State state_ = State::header;
  std::uint8_t header_[4] = {};
  std::size_t headerHave_ = 0;
  std::size_t fragmentLeft_ = 0;
  bool lastFragment_ = false;
  // Only grows, so records after the first large one cost no allocation and
  // no zero-filling; size_ is the current record's length.
  std::vector<std::uint8_t> storage_;
  std::size_t size_ = 0;
};

}  // namespace benchfw::rpc

#endif
