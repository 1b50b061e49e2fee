#include "sim/commands.h"

#include <cctype>
#include <initializer_list>
#include <string>
#include <vector>

namespace benchfw::sim {
namespace {

// One node of a header path: its short and long form, upper case.
struct Node {
  const char* shortForm;
  const char* longForm;
  bool optional = false;
};

struct Entry {
  CommandId id;
  const char* canonical;
  bool query;
  std::vector<Node> path;  // empty for common (*) commands
};

const std::vector<Entry>& table() {
  static const Node diag{"DIAG", "DIAGNOSTIC"}, hw{"HW", "HARDWARE"}, host{"HOST", "HOST"},
      fw{"FW", "FIRMWARE"}, upd{"UPD", "UPDATE"}, reb{"REB", "REBOOT"}, main{"MAIN", "MAIN"},
      sub{"SUB", "SUB"};
  static const std::vector<Entry> entries = {
      {CommandId::cls, "*CLS", false, {}},
      {CommandId::rst, "*RST", false, {}},
      {CommandId::wai, "*WAI", false, {}},
      {CommandId::idnQuery, "*IDN?", true, {}},
      {CommandId::stbQuery, "*STB?", true, {}},
      {CommandId::opcQuery, "*OPC?", true, {}},
      {CommandId::errorQuery, ":SYST:ERR?", true,
       {{"SYST", "SYSTEM"}, {"ERR", "ERROR"}, {"NEXT", "NEXT", true}}},
      {CommandId::mainQuery, ":DIAG:HW:HOST:FW:MAIN?", true, {diag, hw, host, fw, main}},
      {CommandId::updateMain, ":DIAG:HW:HOST:FW:UPD:MAIN", false, {diag, hw, host, fw, upd, main}},
      {CommandId::updateSub, ":DIAG:HW:HOST:FW:UPD:SUB", false, {diag, hw, host, fw, upd, sub}},
      {CommandId::rebootMain, ":DIAG:HW:HOST:REB:MAIN", false, {diag, hw, host, reb, main}},
      {CommandId::rebootSub, ":DIAG:HW:HOST:REB:SUB", false, {diag, hw, host, reb, sub}},
  };
  return entries;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> splitNodes(std::string_view path) {
  std::vector<std::string> nodes;
  std::size_t start = 0;
  while (true) {
    const auto colon = path.find(':', start);
    nodes.push_back(upper(path.substr(start, colon - start)));
    if (colon == std::string_view::npos) return nodes;
    start = colon + 1;
  }
}

bool matches(const std::vector<Node>& pattern, std::size_t p, const std::vector<std::string>& nodes,
             std::size_t n) {
  if (p == pattern.size()) return n == nodes.size();
  const Node& node = pattern[p];
  if (n < nodes.size() && (nodes[n] == node.shortForm || nodes[n] == node.longForm) &&
      matches(pattern, p + 1, nodes, n + 1))
    return true;
  return node.optional && matches(pattern, p + 1, nodes, n);
}

const Entry* find(CommandId id) {
  for (const Entry& e : table())
    if (e.id == id) return &e;
  return nullptr;
}

}  // namespace

std::optional<CommandId> resolveHeader(std::string_view header) {
  if (header.empty()) return std::nullopt;
  const bool query = header.back() == '?';
  if (query) header.remove_suffix(1);
  if (!header.empty() && header.front() == '*') {
    const std::string text = upper(header) + (query ? "?" : "");
    for (const Entry& e : table())
      if (e.path.empty() && text == e.canonical) return e.id;
    return std::nullopt;
  }
  if (!header.empty() && header.front() == ':') header.remove_prefix(1);
  if (header.empty()) return std::nullopt;
  const auto nodes = splitNodes(header);
  for (const Entry& e : table())
    if (!e.path.empty() && e.query == query && matches(e.path, 0, nodes, 0)) return e.id;
  return std::nullopt;
}

bool isQuery(CommandId id) { return find(id)->query; }

const char* canonicalHeader(CommandId id) { return find(id)->canonical; }

}  // namespace benchfw::sim
