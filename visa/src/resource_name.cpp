// Resource strings, as instruments and scripts write them:
//   TCPIP[board]::host::port::SOCKET                raw SCPI socket
//   TCPIP[board]::host[::device][::INSTR]           VXI-11 ("inst0" by default)
//   TCPIP[board]::host::hislipN[,port][::INSTR]     HiSLIP
// Keywords are case-insensitive. The host is a name, a dotted IPv4 address,
// or an IPv6 literal, bracketed or plain; a plain one contains "::" itself,
// so the host may span several "::"-separated fields.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "transport.h"

namespace benchfw::visa {
namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

// Splits at "::", except inside a bracketed IPv6 literal.
std::vector<std::string_view> splitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  bool inBrackets = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '[') inBrackets = true;
    if (text[i] == ']') inBrackets = false;
    if (!inBrackets && text[i] == ':' && i + 1 < text.size() && text[i + 1] == ':') {
      fields.push_back(text.substr(start, i - start));
      start = i + 2;
      ++i;
    }
  }
  fields.push_back(text.substr(start));
  return fields;
}

bool isIpv6Literal(std::string_view text) {
  std::string address(text.substr(0, text.find('%')));  // a zone may follow
  if (address.size() == text.size() - 1) return false;   // "%" with no zone
  in6_addr parsed{};
  return inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

bool isHostName(std::string_view text) {
  return !text.empty() && text.size() <= 253 &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
         });
}

// The host fields joined back together; empty when they form no host.
std::string hostFrom(const std::vector<std::string_view>& fields, std::size_t first,
                     std::size_t last) {
  if (first >= last) return {};
  if (last - first == 1) {
    std::string_view f = fields[first];
    if (f.size() > 2 && f.front() == '[' && f.back() == ']') {
      f = f.substr(1, f.size() - 2);
      return isIpv6Literal(f) ? std::string(f) : std::string();
    }
    if (isHostName(f) || isIpv6Literal(f)) return std::string(f);
    return {};
  }
  std::string joined(fields[first]);
  for (std::size_t i = first + 1; i < last; ++i) joined.append("::").append(fields[i]);
  return isIpv6Literal(joined) ? joined : std::string();
}

bool isDeviceName(std::string_view f) {
  return !f.empty() && std::all_of(f.begin(), f.end(), [](char c) {
    return std::isgraph(static_cast<unsigned char>(c)) && c != '[' && c != ']';
  });
}

// "TCPIP", "TCPIP0", "gpib3": the interface keyword and its board number.
bool splitInterface(std::string_view field, std::string_view keyword, unsigned* board) {
  if (!startsWithIgnoreCase(field, keyword)) return false;
  std::string_view digits = field.substr(keyword.size());
  if (digits.empty()) {
    *board = 0;
    return true;
  }
  if (!allDigits(digits) || digits.size() > 5) return false;
  *board = static_cast<unsigned>(std::stoul(std::string(digits)));
  return true;
}

ViStatus parseSocket(const std::vector<std::string_view>& f, ResourceName* out) {
  // f: interface, host..., port, SOCKET
  std::string_view port = f[f.size() - 2];
  std::string host = hostFrom(f, 1, f.size() - 2);
  if (host.empty() || !allDigits(port) || port.size() > 5) return VI_ERROR_INV_RSRC_NAME;
  unsigned long number = std::stoul(std::string(port));
  if (number == 0 || number > 65535) return VI_ERROR_INV_RSRC_NAME;
  out->kind = ResourceName::Kind::socket;
  out->host = std::move(host);
  out->port = static_cast<std::uint16_t>(number);
  return VI_SUCCESS;
}

ViStatus parseInstr(const std::vector<std::string_view>& f, ResourceName* out) {
  // f: interface, host..., [device], [INSTR]
  std::size_t end = f.size();
  if (equalsIgnoreCase(f[end - 1], "INSTR")) --end;
  std::string host = hostFrom(f, 1, end);  // every field is the host
  std::string_view device = "inst0";
  if (host.empty() && end > 2) {
    host = hostFrom(f, 1, end - 1);
    device = f[end - 1];
  }
  if (host.empty() || !isDeviceName(device)) return VI_ERROR_INV_RSRC_NAME;
  out->kind = startsWithIgnoreCase(device, "hislip") ? ResourceName::Kind::hislip
                                                      : ResourceName::Kind::vxi11;
  out->host = std::move(host);
  out->device = std::string(device);
  return VI_SUCCESS;
}

// Interfaces this library does not drive. Their names are only checked for
// shape, so that a well-formed one is reported as "not found" rather than
// as a malformed name.
ViStatus parseOtherInterface(const std::vector<std::string_view>& f, ResourceName* out) {
  static constexpr std::string_view kKeywords[] = {"GPIB-VXI", "GPIB", "VXI", "USB",
                                                    "ASRL", "PXI"};
  unsigned board = 0;
  bool known = std::any_of(std::begin(kKeywords), std::end(kKeywords),
                           [&](std::string_view k) { return splitInterface(f[0], k, &board); });
  bool fieldsFilled = std::all_of(f.begin() + 1, f.end(), isDeviceName);
  if (!known || !fieldsFilled || f.size() > 6) return VI_ERROR_INV_RSRC_NAME;
  out->kind = ResourceName::Kind::otherInterface;
  out->board = board;
  return VI_SUCCESS;
}

}  // namespace

ViStatus parseResourceName(const char* text, ResourceName* out) {
  if (!text || !out) return VI_ERROR_INV_RSRC_NAME;
  ResourceName parsed;
  parsed.canonical = text;
  std::vector<std::string_view> f = splitFields(parsed.canonical);
  ViStatus st = VI_ERROR_INV_RSRC_NAME;
  if (splitInterface(f[0], "TCPIP", &parsed.board)) {
    if (f.size() >= 4 && equalsIgnoreCase(f.back(), "SOCKET")) {
      st = parseSocket(f, &parsed);
    } else if (f.size() >= 2 && !equalsIgnoreCase(f.back(), "SOCKET")) {
      st = parseInstr(f, &parsed);
    }
  } else {
    st = parseOtherInterface(f, &parsed);
  }
  if (st == VI_SUCCESS) *out = std::move(parsed);
  return st;
}

}  // namespace benchfw::visa
