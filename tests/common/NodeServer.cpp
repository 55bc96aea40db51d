#include "common/NodeServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "platform/CommandLine.h"

namespace vexor::test {

bool TNodeServer::NodeAvailable() { return !FindProgramOnPath("node").empty(); }

TNodeServer::TNodeServer(const std::string& AScript) {
  int Pipe[2];
  if (pipe2(Pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  pid_t Parent = getpid();
  FPid = fork();
  if (FPid < 0) throw std::runtime_error("fork failed");
  if (FPid == 0) {
    // The server must not outlive a test process that dies.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != Parent) _exit(126);
    dup2(Pipe[1], STDOUT_FILENO);
    execlp("node", "node", AScript.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(Pipe[1]);

  std::string Line;
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (Line.find('\n') == std::string::npos) {
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) break;
    pollfd Fd{Pipe[0], POLLIN, 0};
    if (poll(&Fd, 1, static_cast<int>(Left.count())) <= 0) continue;
    char Buf[64];
    ssize_t N = read(Pipe[0], Buf, sizeof Buf);
    if (N <= 0) break;
    Line.append(Buf, static_cast<size_t>(N));
  }
  close(Pipe[0]);
  FPort = std::atoi(Line.c_str());
  if (FPort <= 0) {
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    throw std::runtime_error("test server did not report its port: '" + Line + "'");
  }
}

TNodeServer::~TNodeServer() {
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
}

std::string TNodeServer::Url(const std::string& APath) const {
  return "http://127.0.0.1:" + std::to_string(FPort) + APath;
}

TDeadPort::TDeadPort() {
  FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof Addr;
  if (FSocket < 0 || bind(FSocket, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) != 0 ||
      getsockname(FSocket, reinterpret_cast<sockaddr*>(&Addr), &Len) != 0)
    throw std::runtime_error("cannot reserve a loopback port");
  FPort = ntohs(Addr.sin_port);
}

TDeadPort::~TDeadPort() {
  if (FSocket >= 0) close(FSocket);
}

}  // namespace vexor::test
