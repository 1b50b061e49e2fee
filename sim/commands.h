// The instrument's command headers. Headers match in any case, in their
// short or long form (SYST or SYSTEM, SYSTem in SCPI notation), with or
// without the leading colon; optional nodes may be left out
// (":SYST:ERR?" and ":SYSTEM:ERROR:NEXT?" are the same query). Every header
// is taken from the root: a header after ";" does not continue the previous
// one's path, so "*IDN?;:SYST:ERR?" and ":SYST:ERR?;:SYST:ERR?" work, but
// ":SYST:ERR?;ERR?" does not.
#ifndef BENCHFW_SIM_COMMANDS_H
#define BENCHFW_SIM_COMMANDS_H

#include <optional>
#include <string_view>

#include "sim/instrument.h"

namespace benchfw::sim {

std::optional<CommandId> resolveHeader(std::string_view header);

bool isQuery(CommandId id);

// The header in the form the updater sends it, e.g. ":SYST:ERR?".
const char* canonicalHeader(CommandId id);

}  // namespace benchfw::sim

#endif
