// A child program that misbehaves on request, for tests of child-process handling.
// Usage: tw_testchild VERB [ARG] [VERB [ARG]...]. Verbs run in order; the program then exits 0.
//   out TEXT      TEXT and a line feed on standard output
//   err TEXT      TEXT and a line feed on standard error
//   outhex HEX    raw bytes (hexadecimal pairs) on standard output, in one write
//   errfill N     N bytes 'e' on standard error, in one write, no line feed
//   args          "argc N", then "arg I TEXT" for every argument including argv[0]
//   cwd           "cwd PATH"
//   pid           "pid PID PGID"
//   readline      waits for one line on standard input and drops it
//   echo          copies standard input to standard output line by line until end-of-file
//   sleep MS      sleeps
//   ignoreterm    ignores SIGTERM from now on
//   grandchild    starts a process that sleeps (in our process group); "grandchild PID"
//   exit CODE     ends at once with CODE
// Unknown verbs and missing arguments end the program with code 2 and a message on stderr.
// New verbs are one entry in the table below.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>

namespace {

void WriteAll(int AFd, const std::string& AData) {
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t r = ::write(AFd, AData.data() + done, AData.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) std::_Exit(3);
    done += static_cast<size_t>(r);
  }
}

void Out(const std::string& AText) { WriteAll(1, AText); }

// Reads one line from fd 0 without buffering ahead, so later verbs see the rest of the input.
bool ReadLine(std::string& ALine) {
  ALine.clear();
  char c;
  for (;;) {
    const ssize_t r = ::read(0, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return !ALine.empty();
    ALine.push_back(c);
    if (c == '\n') return true;
  }
}

std::string FromHex(const std::string& AHex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < AHex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(AHex.substr(i, 2), nullptr, 16)));
  return bytes;
}

struct TVerb {
  bool TakesArgument;
  std::function<void(const std::string& AArg, int argc, char** argv)> Run;
};

const std::map<std::string, TVerb>& Verbs() {
  static const std::map<std::string, TVerb> verbs = {
      {"out", {true, [](const std::string& a, int, char**) { Out(a + "\n"); }}},
      {"err", {true, [](const std::string& a, int, char**) { WriteAll(2, a + "\n"); }}},
      {"outhex", {true, [](const std::string& a, int, char**) { Out(FromHex(a)); }}},
      {"errfill", {true, [](const std::string& a, int, char**) { WriteAll(2, std::string(std::stoul(a), 'e')); }}},
      {"args",
       {false,
        [](const std::string&, int argc, char** argv) {
          std::string text = "argc " + std::to_string(argc) + "\n";
          for (int i = 0; i < argc; ++i) text += "arg " + std::to_string(i) + " " + argv[i] + "\n";
          Out(text);
        }}},
      {"cwd",
       {false,
        [](const std::string&, int, char**) {
          char buf[4096];
          Out(std::string("cwd ") + (::getcwd(buf, sizeof buf) ? buf : "?") + "\n");
        }}},
      {"pid",
       {false, [](const std::string&, int,
                  char**) { Out("pid " + std::to_string(::getpid()) + " " + std::to_string(::getpgid(0)) + "\n"); }}},
      {"readline",
       {false,
        [](const std::string&, int, char**) {
          std::string line;
          ReadLine(line);
        }}},
      {"echo",
       {false,
        [](const std::string&, int, char**) {
          std::string line;
          while (ReadLine(line)) Out(line);
        }}},
      {"sleep",
       {true, [](const std::string& a, int,
                 char**) { std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(a))); }}},
      {"ignoreterm", {false, [](const std::string&, int, char**) { ::signal(SIGTERM, SIG_IGN); }}},
      {"grandchild",
       {false,
        [](const std::string&, int, char**) {
          const pid_t pid = ::fork();
          if (pid == 0) {
            for (;;) ::pause();
          }
          Out("grandchild " + std::to_string(pid) + "\n");
        }}},
      {"exit", {true, [](const std::string& a, int, char**) { std::_Exit(std::stoi(a)); }}},
  };
  return verbs;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const auto verb = Verbs().find(argv[i]);
    if (verb == Verbs().end()) {
      WriteAll(2, std::string("tw_testchild: unknown verb ") + argv[i] + "\n");
      return 2;
    }
    std::string arg;
    if (verb->second.TakesArgument) {
      if (i + 1 >= argc) {
        WriteAll(2, std::string("tw_testchild: ") + argv[i] + " needs an argument\n");
        return 2;
      }
      arg = argv[++i];
    }
    verb->second.Run(arg, argc, argv);
  }
  return 0;
}
