#pragma once
// Readers of the kernel's /proc texts the program looks at: pure functions on the text, so that
// what the kernel (or a stand-in) writes can never crash or mislead them. Thread-safe.
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace vexor {

// A "kB" figure of a /proc/<pid>/status text ("VmHWM", "VmRSS") in bytes, capped at 32 bits;
// -1 when the key is missing or its figure is not a number.
int64_t ProcStatusBytes(std::string_view AStatus, std::string_view AKey);

// The inodes of the sockets listening (state 0A) on APort in a /proc/net/tcp or tcp6 text.
std::set<std::string> ListeningSocketInodes(std::string_view ATable, int32_t APort);

}  // namespace vexor
