// viPrintf: %d %i %u %o %x %X %c %s %% with flags (-+ 0#), width and
// precision (digits or *), and the length modifiers hh h l ll. Escapes in
// the format: \n (ends the message, like a raw line feed), \r, \t, \\, \",
// and \ooo octal bytes.
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "formatted_io.h"

namespace benchfw::visa {
namespace {

// A width beyond this is a mistake in the format, not a wish for megabytes
// of padding.
constexpr int kMaxWidth = 65535;

struct Conversion {
  bool leftAlign = false, plus = false, space = false, zeroPad = false, alternate = false;
  int width = 0;       // -1: taken from the arguments ('*')
  int precision = -2;  // -2: none; -1: taken from the arguments
  int length = 0;      // -2 hh, -1 h, 0 none, 1 l, 2 ll
  char conversion = 0;
};

struct Token {
  enum class Kind { literal, messageEnd, conversion } kind;
  char byte = 0;
  Conversion conversion;
};

class FormatParser {
 public:
  explicit FormatParser(const char* format) : p_(format) {}

  ViStatus parse(std::vector<Token>* tokens) {
    while (*p_) {
      ViStatus st = VI_SUCCESS;
      if (*p_ == '%') {
        ++p_;
        st = parseConversion(tokens);
      } else if (*p_ == '\\') {
        ++p_;
        st = parseEscape(tokens);
      } else {
        char c = *p_++;
        tokens->push_back(c == '\n' ? Token{Token::Kind::messageEnd, 0, {}} : literal(c));
      }
      if (st != VI_SUCCESS) return st;
    }
    return VI_SUCCESS;
  }

 private:
  static Token literal(char c) { return Token{Token::Kind::literal, c, {}}; }

  ViStatus parseEscape(std::vector<Token>* tokens) {
    char c = *p_;
    if (c == '\0') return VI_ERROR_INV_FMT;
    ++p_;
    switch (c) {
      case 'n': tokens->push_back(Token{Token::Kind::messageEnd, 0, {}}); return VI_SUCCESS;
      case 'r': tokens->push_back(literal('\r')); return VI_SUCCESS;
      case 't': tokens->push_back(literal('\t')); return VI_SUCCESS;
      case '\\':
      case '"': tokens->push_back(literal(c)); return VI_SUCCESS;
      default: break;
    }
    if (c < '0' || c > '7') return VI_ERROR_INV_FMT;
    unsigned value = static_cast<unsigned>(c - '0');
    for (int i = 0; i < 2 && *p_ >= '0' && *p_ <= '7'; ++i) value = value * 8 + (*p_++ - '0');
    if (value > 0xFF) return VI_ERROR_INV_FMT;
    tokens->push_back(literal(static_cast<char>(value)));
    return VI_SUCCESS;
  }

  // A decimal number or '*'; -1 for '*'.
  ViStatus parseCount(int* out) {
    if (*p_ == '*') {
      ++p_;
      *out = -1;
      return VI_SUCCESS;
    }
    long value = 0;
    while (*p_ >= '0' && *p_ <= '9') {
      value = value * 10 + (*p_++ - '0');
      if (value > kMaxWidth) return VI_ERROR_NSUP_FMT;
    }
    *out = static_cast<int>(value);
    return VI_SUCCESS;
  }

  ViStatus parseConversion(std::vector<Token>* tokens) {
    if (*p_ == '%') {
      ++p_;
      tokens->push_back(literal('%'));
      return VI_SUCCESS;
    }
    Conversion c;
    for (;; ++p_) {
      if (*p_ == '-') c.leftAlign = true;
      else if (*p_ == '+') c.plus = true;
      else if (*p_ == ' ') c.space = true;
      else if (*p_ == '0') c.zeroPad = true;
      else if (*p_ == '#') c.alternate = true;
      else break;
    }
    if (ViStatus st = parseCount(&c.width); st != VI_SUCCESS) return st;
    if (*p_ == '.') {
      ++p_;
      if (ViStatus st = parseCount(&c.precision); st != VI_SUCCESS) return st;
    }
    while (*p_ == 'h' && c.length > -2) --c.length, ++p_;
    while (*p_ == 'l' && c.length < 2 && c.length >= 0) ++c.length, ++p_;
    c.conversion = *p_;
    if (c.conversion == '\0') return VI_ERROR_INV_FMT;
    ++p_;
    if (std::strchr("diuoxXcs", c.conversion) == nullptr) {
      // VISA's other conversions and modifiers (floats, %b blocks, arrays
      // with ',' or '@') are well-formed but not offered here.
      bool known = std::strchr("feEgGaAbByp[nLzZ,@", c.conversion) != nullptr;
      return known ? VI_ERROR_NSUP_FMT : VI_ERROR_INV_FMT;
    }
    if ((c.conversion == 'c' || c.conversion == 's') && c.length != 0) return VI_ERROR_NSUP_FMT;
    tokens->push_back(Token{Token::Kind::conversion, 0, c});
    return VI_SUCCESS;
  }

  const char* p_;
};

// The argument list, wrapped so that it can be passed on by reference.
struct Arguments {
  va_list list;
};

class Renderer {
 public:
  Renderer(Arguments& args, std::string* out) : args_(args), out_(*out) {}

  ViStatus render(Conversion c) {
    if (c.width < 0) {
      int w = va_arg(args_.list, int);
      if (w < 0) c.leftAlign = true;
      c.width = w < 0 ? -w : w;
      if (c.width > kMaxWidth) return VI_ERROR_NSUP_FMT;
    }
    if (c.precision == -1) {
      int p = va_arg(args_.list, int);
      c.precision = p < 0 ? -2 : p;
    }
    switch (c.conversion) {
      case 's': return renderString(c);
      case 'c': {
        char ch = static_cast<char>(va_arg(args_.list, int));
        pad(c, std::string(1, ch), 0);
        return VI_SUCCESS;
      }
      case 'd':
      case 'i': return renderSigned(c);
      default: return renderUnsigned(c);
    }
  }

 private:
  ViStatus renderString(const Conversion& c) {
    const char* s = va_arg(args_.list, const char*);
    if (!s) return VI_ERROR_INV_PARAMETER;
    std::size_t n = c.precision >= 0 ? strnlen(s, static_cast<std::size_t>(c.precision))
                                     : std::strlen(s);
    pad(c, std::string(s, n), 0);
    return VI_SUCCESS;
  }

  ViStatus renderSigned(const Conversion& c) {
    long long v = 0;
    switch (c.length) {
      case -2: v = static_cast<signed char>(va_arg(args_.list, int)); break;
      case -1: v = static_cast<short>(va_arg(args_.list, int)); break;
      case 0: v = va_arg(args_.list, int); break;
      case 1: v = va_arg(args_.list, long); break;
      default: v = va_arg(args_.list, long long); break;
    }
    unsigned long long magnitude = v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                         : static_cast<unsigned long long>(v);
    std::string sign = v < 0 ? "-" : c.plus ? "+" : c.space ? " " : "";
    renderInteger(c, sign, magnitude);
    return VI_SUCCESS;
  }

  ViStatus renderUnsigned(const Conversion& c) {
    unsigned long long v = 0;
    switch (c.length) {
      case -2: v = static_cast<unsigned char>(va_arg(args_.list, unsigned)); break;
      case -1: v = static_cast<unsigned short>(va_arg(args_.list, unsigned)); break;
      case 0: v = va_arg(args_.list, unsigned); break;
      case 1: v = va_arg(args_.list, unsigned long); break;
      default: v = va_arg(args_.list, unsigned long long); break;
    }
    renderInteger(c, "", v);
    return VI_SUCCESS;
  }

  void renderInteger(const Conversion& c, std::string prefix, unsigned long long v) {
    int base = c.conversion == 'o' ? 8 : (c.conversion == 'x' || c.conversion == 'X') ? 16 : 10;
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, base);
    std::string digits(buf, end);
    if (c.conversion == 'X') {
      for (char& ch : digits) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    if (c.precision == 0 && v == 0) digits.clear();
    if (c.precision > 0 && digits.size() < static_cast<std::size_t>(c.precision)) {
      digits.insert(0, static_cast<std::size_t>(c.precision) - digits.size(), '0');
    }
    if (c.alternate && base == 8 && (digits.empty() || digits[0] != '0')) digits.insert(0, 1, '0');
    if (c.alternate && base == 16 && v != 0) {
      prefix.push_back('0');
      prefix.push_back(c.conversion == 'X' ? 'X' : 'x');
    }
    bool zeros = c.zeroPad && !c.leftAlign && c.precision < 0;
    pad(c, prefix + digits, zeros ? prefix.size() : std::string::npos);
  }

  // Pads to the field width: on the right when left-aligned, with zeros
  // after `zeroAt` characters (sign and base prefix) when asked, otherwise
  // with spaces on the left.
  void pad(const Conversion& c, std::string text, std::size_t zeroAt) {
    std::size_t width = static_cast<std::size_t>(c.width);
    if (text.size() < width) {
      std::size_t fill = width - text.size();
      if (c.leftAlign) text.append(fill, ' ');
      else if (zeroAt != std::string::npos && c.conversion != 's' && c.conversion != 'c')
        text.insert(zeroAt, fill, '0');
      else text.insert(0, fill, ' ');
    }
    out_ += text;
  }

  Arguments& args_;
  std::string& out_;
};

}  // namespace

ViStatus formattedWrite(Session& session, const char* format, va_list args) {
  if (!format) return VI_ERROR_INV_PARAMETER;
  std::vector<Token> tokens;
  if (ViStatus st = FormatParser(format).parse(&tokens); st != VI_SUCCESS) return st;

  std::string out;
  std::vector<std::size_t> messageEnds;  // offsets just past each format line feed
  Arguments copy;
  va_copy(copy.list, args);
  Renderer renderer(copy, &out);
  ViStatus st = VI_SUCCESS;
  for (const Token& t : tokens) {
    if (t.kind == Token::Kind::conversion) {
      st = renderer.render(t.conversion);
      if (st != VI_SUCCESS) break;
    } else {
      out += t.kind == Token::Kind::messageEnd ? '\n' : t.byte;
      if (t.kind == Token::Kind::messageEnd) messageEnds.push_back(out.size());
    }
  }
  va_end(copy.list);
  if (st != VI_SUCCESS) return st;

  const auto* bytes = reinterpret_cast<const unsigned char*>(out.data());
  std::size_t from = 0, accepted = 0;
  for (std::size_t end : messageEnds) {
    st = session.writeBytes(bytes + from, end - from, true, &accepted);
    if (st != VI_SUCCESS) return st;
    from = end;
  }
  st = session.writeBytes(bytes + from, out.size() - from, false, &accepted);
  return st != VI_SUCCESS ? st : session.afterFormattedWrite();
}

}  // namespace benchfw::visa
