#pragma once
// What the window tests look for among the machine's processes, read from /proc. Any thread.
#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace vexor::testing {

inline std::string ReadWholeFile(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TProcStat {
  pid_t Pid = 0;
  pid_t Parent = 0;
  char State = 0;
  std::string Name;  // the kernel's 15-byte name
};

inline bool ReadProcStat(pid_t APid, TProcStat& AStat) {
  const std::string text = ReadWholeFile("/proc/" + std::to_string(APid) + "/stat");
  const size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 4 > text.size()) return false;
  AStat.Pid = APid;
  AStat.Name = text.substr(open + 1, close - open - 1);
  AStat.State = text[close + 2];
  AStat.Parent = static_cast<pid_t>(std::stol(text.substr(close + 4)));
  return true;
}

// Running: present and not a zombie waiting to be reaped.
inline bool ProcessAlive(pid_t APid) {
  TProcStat s;
  return ReadProcStat(APid, s) && s.State != 'Z' && s.State != 'X';
}

inline std::vector<TProcStat> AllProcesses() {
  std::vector<TProcStat> result;
  DIR* d = ::opendir("/proc");
  if (!d) return result;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    TProcStat s;
    if (end && *end == 0 && pid > 0 && ReadProcStat(static_cast<pid_t>(pid), s)) result.push_back(s);
  }
  ::closedir(d);
  return result;
}

// Live node processes whose command line names AScript.
inline std::vector<pid_t> NodesRunning(const std::string& AScript) {
  std::vector<pid_t> result;
  for (const TProcStat& s : AllProcesses()) {
    if (s.State == 'Z' || s.Name != "node") continue;
    const std::string cmdline = ReadWholeFile("/proc/" + std::to_string(s.Pid) + "/cmdline");
    if (cmdline.find(AScript) != std::string::npos) result.push_back(s.Pid);
  }
  return result;
}

// Live descendants of ARoot (children, their children, ...).
inline std::vector<TProcStat> Descendants(pid_t ARoot) {
  const std::vector<TProcStat> all = AllProcesses();
  std::set<pid_t> tree{ARoot};
  std::vector<TProcStat> result;
  for (bool grew = true; grew;) {
    grew = false;
    for (const TProcStat& s : all)
      if (s.State != 'Z' && tree.count(s.Parent) && !tree.count(s.Pid)) {
        tree.insert(s.Pid);
        result.push_back(s);
        grew = true;
      }
  }
  return result;
}

// The pids node-tee recorded in ALog, in start order.
inline std::vector<pid_t> RecordedPids(const std::string& ALog) {
  std::vector<pid_t> pids;
  std::istringstream in(ReadWholeFile(ALog));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("pid ", 0) == 0) pids.push_back(static_cast<pid_t>(std::stol(line.substr(4))));
  return pids;
}

inline size_t CountOf(const std::string& AText, const std::string& APart) {
  size_t n = 0;
  for (size_t at = AText.find(APart); at != std::string::npos; at = AText.find(APart, at + APart.size())) ++n;
  return n;
}

}  // namespace vexor::testing
