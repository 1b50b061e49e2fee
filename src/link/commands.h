// The instrument's command texts. Each is a bare program-message header;
// the format that sends it adds what follows (the block, the query mark,
// the line feed).
#ifndef BENCHFW_LINK_COMMANDS_H
#define BENCHFW_LINK_COMMANDS_H

namespace benchfw {

// Query: answers "1\n" while the main application runs.
inline constexpr char cmdQueryMain[] = ":DIAG:HW:HOST:FW:MAIN";
// Downloads: followed by one space and a definite-length block.
inline constexpr char cmdUpdateMain[] = ":DIAG:HW:HOST:FW:UPD:MAIN";
inline constexpr char cmdUpdateSub[] = ":DIAG:HW:HOST:FW:UPD:SUB";
// Restarts into the named application; the instrument drops the link.
inline constexpr char cmdRebootMain[] = ":DIAG:HW:HOST:REB:MAIN";
inline constexpr char cmdRebootSub[] = ":DIAG:HW:HOST:REB:SUB";

}  // namespace benchfw

#endif
