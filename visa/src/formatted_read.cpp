// viScanf: %t (a whole reply, up to and including the byte that ended it),
// %T (up to and including the first line feed), %s (a word), %d (a signed
// decimal), with '*' (discard), '#' (the buffer size comes first, as a
// ViUInt32 pointer, and the stored count comes back in it) and a field
// width. White space in the format skips white space in the reply; any
// other character must match. When the reply ends before the format does,
// the rest of the format is skipped.
//
// A string never overflows its buffer: it stores at most the width's
// characters and a NUL (%1023t), or kUnboundedStringLimit and a NUL, or
// with '#' at most the size's bytes, NUL included when it fits; the rest
// of an over-long reply is read and dropped, so that the next read starts
// at the next reply.
#include <cctype>
#include <climits>
#include <cstring>
#include <vector>

#include "formatted_io.h"

namespace benchfw::visa {
namespace {

struct Conversion {
  bool suppress = false;
  bool sized = false;  // '#'
  int width = -1;      // -1: none
  int length = 0;      // -1 h, 0 none, 1 l
  char conversion = 0;
};

struct Token {
  enum class Kind { whitespace, literal, conversion } kind;
  char byte = 0;
  Conversion conversion;
};

bool isBlank(int c) { return c >= 0 && std::isspace(c); }

ViStatus parseFormat(const char* p, std::vector<Token>* tokens) {
  while (*p) {
    if (std::isspace(static_cast<unsigned char>(*p))) {
      while (std::isspace(static_cast<unsigned char>(*p))) ++p;
      tokens->push_back(Token{Token::Kind::whitespace, 0, {}});
      continue;
    }
    if (*p != '%' || p[1] == '%') {
      tokens->push_back(Token{Token::Kind::literal, *p, {}});
      p += *p == '%' ? 2 : 1;
      continue;
    }
    ++p;
    Conversion c;
    for (;; ++p) {
      if (*p == '*') c.suppress = true;
      else if (*p == '#') c.sized = true;
      else break;
    }
    if (*p >= '1' && *p <= '9') {
      long width = 0;
      while (*p >= '0' && *p <= '9') {
        width = width * 10 + (*p++ - '0');
        if (width > INT_MAX / 10) return VI_ERROR_INV_FMT;
      }
      c.width = static_cast<int>(width);
    }
    if (*p == 'h') c.length = -1, ++p;
    else if (*p == 'l') c.length = 1, ++p;
    c.conversion = *p;
    if (c.conversion == '\0') return VI_ERROR_INV_FMT;
    ++p;
    if (std::strchr("tTsd", c.conversion) == nullptr) {
      bool known = std::strchr("icuoxXfeEgGaAbByp[nzZ,@", c.conversion) != nullptr;
      return known ? VI_ERROR_NSUP_FMT : VI_ERROR_INV_FMT;
    }
    if (c.conversion != 'd' && c.length != 0) return VI_ERROR_NSUP_FMT;
    tokens->push_back(Token{Token::Kind::conversion, 0, c});
  }
  return VI_SUCCESS;
}

struct Arguments {
  va_list list;
};

// Reads one reply for one viScanf call: knows when the reply has ended, so
// that the rest of the format stops there instead of waiting for the next.
class ReplyReader {
 public:
  ReplyReader(Session& session, Deadline deadline) : session_(session), deadline_(deadline) {}

  bool ended() const { return ended_; }

  // The next byte, or -1 once the reply has ended.
  ViStatus peek(int* c) {
    *c = -1;
    if (ended_) return VI_SUCCESS;
    ViStatus st = session_.peekByte(deadline_, c);
    if (st == VI_SUCCESS && *c < 0) ended_ = true;
    return st;
  }

  void take() { ended_ = session_.consumeByte(); }

  ViStatus skipRest() {
    ended_ = true;
    return session_.skipRestOfMessage(deadline_);
  }

  ViStatus skipBlanks() {
    for (int c = 0;;) {
      if (ViStatus st = peek(&c); st != VI_SUCCESS || !isBlank(c)) return st;
      take();
    }
  }

 private:
  Session& session_;
  Deadline deadline_;
  bool ended_ = false;
};

class Scanner {
 public:
  Scanner(Session& session, Arguments& args)
      : reader_(session, Deadline::after(session.timeoutMs())), args_(args) {}

  // *matched is false when the reply did not fit the format: scanning stops.
  ViStatus run(const Token& t, bool* matched) {
    *matched = true;
    int c = 0;
    switch (t.kind) {
      case Token::Kind::whitespace:
        return reader_.skipBlanks();
      case Token::Kind::literal:
        if (ViStatus st = reader_.peek(&c); st != VI_SUCCESS) return st;
        *matched = c == static_cast<unsigned char>(t.byte);
        if (*matched) reader_.take();
        return VI_SUCCESS;
      case Token::Kind::conversion:
        break;
    }
    const Conversion& conv = t.conversion;
    if (conv.conversion == 'd') return readInteger(conv, matched);
    return readString(conv, matched);
  }

  bool ended() const { return reader_.ended(); }

 private:
  ViStatus readString(const Conversion& conv, bool* matched) {
    ViUInt32* count = nullptr;
    char* out = nullptr;
    std::size_t limit = kUnboundedStringLimit;
    if (!conv.suppress) {
      if (conv.sized) {
        count = va_arg(args_.list, ViUInt32*);
        if (!count) return VI_ERROR_INV_PARAMETER;
        // Nothing is written past the size given: a reply that fills it
        // gets no NUL from here (the caller terminates at the count).
        limit = *count;
      }
      out = va_arg(args_.list, char*);
      if (!out) return VI_ERROR_INV_PARAMETER;
    }
    if (conv.width >= 0) limit = conv.sized ? std::min<std::size_t>(limit, conv.width) : conv.width;
    if (conv.suppress) limit = 0;

    bool word = conv.conversion == 's';
    if (word) {
      if (ViStatus st = reader_.skipBlanks(); st != VI_SUCCESS) return st;
    }
    std::size_t stored = 0;
    bool any = false;
    ViStatus st = VI_SUCCESS;
    for (int c = 0;;) {
      st = reader_.peek(&c);
      if (st != VI_SUCCESS || c < 0 || (word && isBlank(c))) break;
      any = true;
      if (stored == limit && !word) {
        st = reader_.skipRest();  // keep the next read in step with the replies
        break;
      }
      if (stored < limit) out[stored++] = static_cast<char>(c);
      reader_.take();
      if (reader_.ended() || (conv.conversion == 'T' && c == '\n')) break;
    }
    // A width or the built-in limit leaves room for the NUL; a '#' size
    // does only when the reply was shorter.
    if (out && (!conv.sized || stored < limit)) out[stored] = '\0';
    if (count) *count = static_cast<ViUInt32>(stored);
    *matched = any;
    return st;
  }

  ViStatus readInteger(const Conversion& conv, bool* matched) {
    if (ViStatus st = reader_.skipBlanks(); st != VI_SUCCESS) return st;
    int width = conv.width >= 0 ? conv.width : INT_MAX;
    int c = 0;
    bool negative = false, digits = false;
    long long value = 0;
    for (int used = 0; used < width; ++used) {
      if (ViStatus st = reader_.peek(&c); st != VI_SUCCESS) return st;
      if (used == 0 && (c == '+' || c == '-')) {
        negative = c == '-';
      } else if (c >= '0' && c <= '9') {
        digits = true;
        value = value > LLONG_MAX / 10 ? LLONG_MAX : value * 10 + (c - '0');
      } else {
        break;
      }
      reader_.take();
    }
    *matched = digits;
    if (!digits || conv.suppress) return VI_SUCCESS;
    if (negative) value = -value;
    return storeInteger(conv.length, value);
  }

  ViStatus storeInteger(int length, long long value) {
    auto clamp = [value](long long lo, long long hi) { return value < lo ? lo : value > hi ? hi : value; };
    void* target = va_arg(args_.list, void*);
    if (!target) return VI_ERROR_INV_PARAMETER;
    if (length < 0) *static_cast<short*>(target) = static_cast<short>(clamp(SHRT_MIN, SHRT_MAX));
    else if (length > 0) *static_cast<long*>(target) = static_cast<long>(clamp(LONG_MIN, LONG_MAX));
    else *static_cast<int*>(target) = static_cast<int>(clamp(INT_MIN, INT_MAX));
    return VI_SUCCESS;
  }

  ReplyReader reader_;
  Arguments& args_;
};

}  // namespace

ViStatus formattedRead(Session& session, const char* format, va_list args) {
  if (!format) return VI_ERROR_INV_PARAMETER;
  std::vector<Token> tokens;
  if (ViStatus st = parseFormat(format, &tokens); st != VI_SUCCESS) return st;

  Arguments copy;
  va_copy(copy.list, args);
  Scanner scanner(session, copy);
  ViStatus st = VI_SUCCESS;
  for (const Token& t : tokens) {
    bool matched = true;
    st = scanner.run(t, &matched);
    if (st != VI_SUCCESS || !matched || scanner.ended()) break;
  }
  va_end(copy.list);
  if (st != VI_SUCCESS) return st;
  return session.afterFormattedRead();
}

}  // namespace benchfw::visa
