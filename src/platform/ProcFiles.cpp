#include "platform/ProcFiles.h"

#include <charconv>
#include <limits>
#include <sstream>

namespace vexor {

int64_t ProcStatusBytes(std::string_view AStatus, std::string_view AKey) {
  size_t at = 0;
  // The key at the start of a line, followed by its colon.
  for (;;) {
    at = AStatus.find(AKey, at);
    if (at == std::string_view::npos) return -1;
    const size_t end = at + AKey.size();
    if ((at == 0 || AStatus[at - 1] == '\n') && end < AStatus.size() && AStatus[end] == ':') break;
    at = end;
  }
  size_t pos = at + AKey.size() + 1;
  while (pos < AStatus.size() && (AStatus[pos] == ' ' || AStatus[pos] == '\t')) ++pos;
  uint64_t kb = 0;
  const auto [ptr, ec] = std::from_chars(AStatus.data() + pos, AStatus.data() + AStatus.size(), kb);
  if (ptr == AStatus.data() + pos) return -1;
  constexpr uint64_t kCap = std::numeric_limits<uint32_t>::max();
  if (ec == std::errc::result_out_of_range || kb > kCap / 1024) return static_cast<int64_t>(kCap);
  return static_cast<int64_t>(kb * 1024);
}

std::set<std::string> ListeningSocketInodes(std::string_view ATable, int32_t APort) {
  std::set<std::string> inodes;
  std::istringstream in{std::string(ATable)};
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
      continue;
    const size_t colon = local.rfind(':');
    if (state != "0A" || colon == std::string::npos) continue;
    unsigned port = 0;
    const char* first = local.c_str() + colon + 1;
    const char* last = local.c_str() + local.size();
    const auto [ptr, ec] = std::from_chars(first, last, port, 16);
    if (ec == std::errc() && ptr == last && ptr != first && static_cast<int64_t>(port) == APort) inodes.insert(inode);
  }
  return inodes;
}

}  // namespace vexor
