#include "sim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/commands.h"

namespace benchfw::sim {
namespace {

// Longest repetition "\{N}" accepted: a reply is held in memory whole.
constexpr unsigned long maxRepeat = 10'000'000;

bool parseUnsigned(std::string_view text, unsigned long long limit, unsigned long long& out) {
  if (text.empty() || text.size() > 19) return false;
  unsigned long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > limit) return false;
  out = value;
  return true;
}

bool parseSeconds(const std::string& text, std::chrono::milliseconds& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0 || value > 86400)
    return false;
  out = std::chrono::milliseconds(static_cast<long long>(std::llround(value * 1000)));
  return true;
}

bool parseApp(const std::string& text, App& out) {
  if (text == "main") out = App::main;
  else if (text == "sub") out = App::sub;
  else return false;
  return true;
}

bool parseErrorAt(const std::string& value, Faults& faults, std::string& error) {
  const auto colon = value.find(':');
  unsigned long long n = 0;
  if (!parseUnsigned(std::string_view(value).substr(0, colon), ~0ull, n) || n == 0) {
    error = "--error-at needs N[:CODE,TEXT] with N from 1: " + value;
    return false;
  }
  ErrorEntry entry{-300, "Device-specific error"};
  if (colon != std::string::npos) {
    const std::string rest = value.substr(colon + 1);
    const auto comma = rest.find(',');
    errno = 0;
    char* end = nullptr;
    const std::string code = rest.substr(0, comma);
    const long parsed = std::strtol(code.c_str(), &end, 10);
    if (code.empty() || *end != '\0' || errno != 0 || parsed < -32768 || parsed > 32767 ||
        comma == std::string::npos) {
      error = "--error-at needs N[:CODE,TEXT], CODE an integer: " + value;
      return false;
    }
    entry.code = static_cast<int>(parsed);
    // The text may be quoted as it appears on the wire: CODE,"TEXT".
    std::string text = rest.substr(comma + 1);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
      text = text.substr(1, text.size() - 2);
    if (!decodeEscapes(text, entry.text, error)) return false;
  }
  faults.errorAt[n] = entry;
  return true;
}

bool parseReply(const std::string& value, Faults& faults, std::string& error) {
  const auto equals = value.find('=');
  const auto id = resolveHeader(std::string_view(value).substr(0, equals));
  if (equals == std::string::npos || !id || !isQuery(*id)) {
    error = "--reply needs QUERY=TEXT with a query this instrument knows: " + value;
    return false;
  }
  return decodeEscapes(value.substr(equals + 1), faults.replies[*id], error);
}

bool parseDrop(const std::string& value, Faults& faults, std::string& error) {
  std::string count = value;
  const auto colon = value.find(':');
  if (colon != std::string::npos) {
    App app;
    if (!parseApp(value.substr(0, colon), app)) {
      error = "--drop-download needs [main:|sub:]BYTES: " + value;
      return false;
    }
    faults.dropApp = app;
    count = value.substr(colon + 1);
  }
  unsigned long long bytes = 0;
  if (!parseUnsigned(count, 999'999'999, bytes)) {
    error = "--drop-download needs [main:|sub:]BYTES: " + value;
    return false;
  }
  faults.dropDownloadAfter = bytes;
  return true;
}

bool isWritableDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(path.c_str(), W_OK) == 0;
}

// Applies one flag that takes a value.
bool applyValue(const std::string& flag, const std::string& value, SimOptions& o,
                std::string& error) {
  InstrumentConfig& c = o.instrument;
  Faults& f = c.faults;
  const auto bad = [&](const char* what) {
    error = flag + " needs " + what + ", not '" + value + "'";
    return false;
  };
  if (flag == "--port") {
    unsigned long long port = 0;
    if (!parseUnsigned(value, 65535, port)) return bad("a port number 0-65535");
    o.port = static_cast<std::uint16_t>(port);
  } else if (flag == "--portmapper-port" || flag == "--vxi11-port") {
    unsigned long long port = 0;
    if (!parseUnsigned(value, 65535, port)) return bad("a port number 0-65535");
    (flag == "--vxi11-port" ? o.vxi11.corePort : o.vxi11.portmapperPort) =
        static_cast<std::uint16_t>(port);
  } else if (flag == "--max-recv-size") {
    unsigned long long size = 0;
    if (!parseUnsigned(value, Vxi11Options::kMaxRecvSize, size) ||
        size < Vxi11Options::kMinRecvSize)
      return bad("a byte count from 1024 to 67108864");
    o.vxi11.maxRecvSize = static_cast<std::uint32_t>(size);
  } else if (flag == "--listen") {
    if (value.empty()) return bad("an address");
    o.listenAddress = value;
  } else if (flag == "--app") {
    if (!parseApp(value, c.startApp)) return bad("main or sub");
  } else if (flag == "--restart-time") {
    if (!parseSeconds(value, c.restartTime)) return bad("seconds from 0 to 86400");
  } else if (flag == "--listen-delay") {
    if (!parseSeconds(value, f.deafAtStart)) return bad("seconds from 0 to 86400");
  } else if (flag == "--opc-delay") {
    if (value == "never") f.opcNever = true;
    else if (!parseSeconds(value, f.opcDelay)) return bad("seconds from 0 to 86400, or never");
  } else if (flag == "--save-images") {
    if (!isWritableDirectory(value)) return bad("a writable directory");
    c.saveImagesDir = value;
  } else if (flag == "--log") {
    if (value.empty()) return bad("a file name");
    o.logPath = value;
  } else if (flag == "--ignore-restart") {
    if (value == "main" || value == "both") f.ignoreRestartIntoMain = true;
    if (value == "sub" || value == "both") f.ignoreRestartIntoSub = true;
    if (value != "main" && value != "sub" && value != "both") return bad("main, sub or both");
  } else if (flag == "--error-at") {
    return parseErrorAt(value, f, error);
  } else if (flag == "--reply") {
    return parseReply(value, f, error);
  } else if (flag == "--drop-download") {
    return parseDrop(value, f, error);
  } else {
    error = "unknown option " + flag;
    return false;
  }
  return true;
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, SimOptions& out, std::string& error) {
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      continue;
    }
    if (arg == "--version") {
      out.version = true;
      continue;
    }
    if (arg == "--vxi11") {
      out.vxi11.enabled = true;
      continue;
    }
    if (arg == "--accept-any-image") {
      out.instrument.acceptAnyImage = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string value;
    const auto equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      error = arg + " needs a value";
      return false;
    }
    if (!applyValue(arg, value, out, error)) return false;
  }
  return true;
}

bool decodeEscapes(std::string_view text, std::string& out, std::string& error) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      error = "a backslash ends the text";
      return false;
    }
    switch (text[i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case '\\': case '"': case '\'': out += text[i]; break;
      case 'x': {
        const std::string_view hex = text.substr(i + 1, 2);
        char* end = nullptr;
        const std::string digits(hex);
        const long value = std::strtol(digits.c_str(), &end, 16);
        if (hex.size() != 2 || *end != '\0' || !std::isxdigit(static_cast<unsigned char>(hex[0]))) {
          error = "\\x needs two hex digits";
          return false;
        }
        out += static_cast<char>(value);
        i += 2;
        break;
      }
      case '{': {
        const auto close = text.find('}', i);
        unsigned long long n = 0;
        if (close == std::string_view::npos || out.empty() ||
            !parseUnsigned(text.substr(i + 1, close - i - 1), maxRepeat, n) || n == 0) {
          error = "\\{N} needs a character before it and N from 1 to 10000000";
          return false;
        }
        out.append(n - 1, out.back());
        i = close;
        break;
      }
      default:
        error = std::string("unknown escape \\") + text[i];
        return false;
    }
  }
  return true;
}

std::string usageText() {
  return R"(usage: benchfw-sim [options]
A simulated bench instrument serving raw SCPI over TCP, for rehearsing and
testing firmware updates with benchfw (resource TCPIP0::ADDR::PORT::SOCKET).

  --port N               TCP port (default 5025; 0 picks a free one)
  --listen ADDR          address to listen on (default 127.0.0.1)
  --vxi11                also serve VXI-11 (resource TCPIP0::ADDR::inst0::INSTR):
                         a portmapper and the core channel, same instrument
  --portmapper-port N    the portmapper's TCP and UDP port (default 111)
  --vxi11-port N         the VXI-11 core channel's port (default 0: a free one)
  --max-recv-size N      largest device_write the VXI-11 link takes, as
                         create_link advertises it (default 1048576, min 1024)
  --app main|sub         application running at start (default main)
  --restart-time S       seconds a restart takes, fractions allowed (default 3)
  --accept-any-image     store any bytes as an image (default: check the
                         placeholder image header, length and CRC-32)
  --save-images DIR      write each stored image to DIR/main.bin or DIR/sub.bin
  --log FILE             write the dialogue, one readable line per event
  --help, --version

Faults:
  --error-at N[:CODE,TEXT]  the N-th :SYST:ERR? (counted from 1 over the whole
                         run) answers CODE,"TEXT" (default -300,"Device-specific
                         error"); TEXT may be quoted and takes the escapes
                         below; repeatable
  --reply QUERY=TEXT     answer QUERY (e.g. *IDN?) with TEXT, always; the line
                         feed is added; repeatable. TEXT takes C escapes
                         \n \r \t \0 \\ \" \xHH, and X\{N} for N times X
  --ignore-restart main|sub|both
                         a restart into that application comes back in the
                         application that ran before
  --drop-download [main:|sub:]BYTES
                         drop the connection after BYTES bytes of the first
                         download (of that application's image)
  --opc-delay S|never    answer *OPC? after S seconds, or never
  --listen-delay S       refuse connections for the first S seconds
)";
}

}  // namespace benchfw::sim
