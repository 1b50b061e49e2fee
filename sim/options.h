// The simulator's command line.
#ifndef BENCHFW_SIM_OPTIONS_H
#define BENCHFW_SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/instrument.h"
#include "sim/vxi11/vxi11_options.h"

namespace benchfw::sim {

struct SimOptions {
  InstrumentConfig instrument;
  std::string listenAddress = "127.0.0.1";
  std::uint16_t port = 5025;
  std::string logPath;
  Vxi11Options vxi11;
  bool help = false;
  bool version = false;
};

// Fills `out` from the arguments (argv[0] excluded); false with `error` set
// for a bad flag or value. "--flag value" and "--flag=value" both work.
bool parseOptions(int argc, const char* const* argv, SimOptions& out, std::string& error);

std::string usageText();

// Decodes the text of --reply and --error-at: C escapes (\n \r \t \0 \\ \"
// \' \xHH) and "\{N}", which repeats the character before it so that it
// stands N times in a row ("X\{3000}" is 3000 X).
bool decodeEscapes(std::string_view text, std::string& out, std::string& error);

}  // namespace benchfw::sim

#endif
