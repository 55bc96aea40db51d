#pragma once
// Runs a node test server script (one that prints its port) and kills it when done.
#include <sys/types.h>

#include <string>

namespace vexor::test {

class TNodeServer {
 public:
  static bool NodeAvailable();
  // Starts the script and waits (up to 15 s) for the port it prints; throws on failure.
  explicit TNodeServer(const std::string& AScript);
  ~TNodeServer();
  int Port() const { return FPort; }
  std::string Url(const std::string& APath) const;

 private:
  pid_t FPid = -1;
  int FPort = 0;
};

// A loopback port that refuses connections: bound, never listening, held for the object's life.
class TDeadPort {
 public:
  TDeadPort();
  ~TDeadPort();
  int Port() const { return FPort; }

 private:
  int FSocket = -1;
  int FPort = 0;
};

}  // namespace vexor::test
