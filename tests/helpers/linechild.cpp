// A child that speaks the requester's line protocol, for tests and benchmarks.
// Reads request lines "HEXID U+0001 JSON U+000A" from standard input; the JSON object's members
// say what to do (all optional; several may be combined, they act in the order listed):
//   "stderr": TEXT        TEXT as a line on standard error
//   "print": TEXT         TEXT as a plain line on standard output
//   "notify": TEXT        a notification line U+0007 TEXT
//   "keepalive": true     a keep-alive line U+0006
//   "garbage": [TEXT...]  each TEXT written as it is, followed by a line feed
//   "bigline": N          one plain line of N bytes 'x'
//   "bigreply": N         a reply marker U+0002 followed by N bytes 'x' (not JSON)
//   "noreply": true       no reply
//   "delay": MS           the reply is sent MS milliseconds later (other requests go on meanwhile)
//   "reply": VALUE        the reply's "response" (default: the request object itself)
//   "exit": CODE          after everything above (a delayed reply is not awaited), exit with CODE
// A reply line is U+0002 {"id":ID,"response":VALUE} U+000A with ID the decimal request id.
// Lines that are not requests are answered with a plain line "bad request: " and the line.
// Command line:
//   --hello             writes a notification line "hello PID" at start
//   --exit-after MS     exits with code 0 MS milliseconds after start
//   --stderr TEXT       writes TEXT as a line on standard error at start
// Output of one read of standard input is written together in one write, like a busy server.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

std::string GOut;  // standard output waiting for the end of this round

void WriteAll(int AFd, const std::string& AData) {
  size_t done = 0;
  while (done < AData.size()) {
    const ssize_t r = ::write(AFd, AData.data() + done, AData.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) std::_Exit(3);  // the parent has gone
    done += static_cast<size_t>(r);
  }
}

void FlushOut() {
  if (GOut.empty()) return;
  WriteAll(1, GOut);
  GOut.clear();
}

void Line(char AMarker, const std::string& AText) {
  if (AMarker) GOut += AMarker;
  GOut += AText;
  GOut += '\n';
}

std::string ReplyLine(long long AId, const json& AResponse) {
  json r = json::object();
  r["id"] = AId;
  r["response"] = AResponse;
  return r.dump();
}

// Delayed replies by due time.
std::multimap<Clock::time_point, std::string> GDelayed;

// Returns true when the program should end, with ACode.
bool HandleRequest(const std::string& ALine, int& ACode) {
  size_t sep = ALine.find('\x01');
  long long id = -1;
  json req;
  try {
    if (sep == std::string::npos || sep == 0) throw std::runtime_error("no id");
    id = std::stoll(ALine.substr(0, sep), nullptr, 16);
    req = json::parse(ALine.substr(sep + 1));
    if (!req.is_object()) throw std::runtime_error("not an object");
  } catch (const std::exception&) {
    Line(0, "bad request: " + ALine);
    return false;
  }
  if (req.contains("stderr")) WriteAll(2, req["stderr"].get<std::string>() + "\n");
  if (req.contains("print")) Line(0, req["print"].get<std::string>());
  if (req.contains("notify")) Line('\x07', req["notify"].get<std::string>());
  if (req.value("keepalive", false)) Line('\x06', "");
  if (req.contains("garbage"))
    for (const auto& g : req["garbage"]) Line(0, g.get<std::string>());
  if (req.contains("bigline")) Line(0, std::string(req["bigline"].get<size_t>(), 'x'));
  if (req.contains("bigreply")) Line('\x02', std::string(req["bigreply"].get<size_t>(), 'x'));
  if (!req.value("noreply", false)) {
    std::string reply = ReplyLine(id, req.contains("reply") ? req["reply"] : req);
    long long delay = req.value("delay", 0LL);
    if (delay > 0)
      GDelayed.emplace(Clock::now() + std::chrono::milliseconds(delay), std::move(reply));
    else
      Line('\x02', reply);
  }
  if (req.contains("exit")) {
    ACode = req["exit"].get<int>();
    return true;
  }
  return false;
}

void SendDueReplies() {
  auto now = Clock::now();
  while (!GDelayed.empty() && GDelayed.begin()->first <= now) {
    Line('\x02', GDelayed.begin()->second);
    GDelayed.erase(GDelayed.begin());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Clock::time_point exitAt = Clock::time_point::max();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--hello") {
      Line('\x07', "hello " + std::to_string(::getpid()));
    } else if (a == "--exit-after" && i + 1 < argc) {
      exitAt = Clock::now() + std::chrono::milliseconds(std::atoll(argv[++i]));
    } else if (a == "--stderr" && i + 1 < argc) {
      WriteAll(2, std::string(argv[++i]) + "\n");
    } else {
      WriteAll(2, "linechild: unknown argument " + a + "\n");
      return 2;
    }
  }
  FlushOut();

  std::string input;
  char buf[65536];
  for (;;) {
    auto now = Clock::now();
    if (now >= exitAt) {
      FlushOut();
      return 0;
    }
    auto due = exitAt;
    if (!GDelayed.empty() && GDelayed.begin()->first < due) due = GDelayed.begin()->first;
    int timeout = -1;
    if (due != Clock::time_point::max())
      timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
    pollfd p{0, POLLIN, 0};
    int pr = ::poll(&p, 1, timeout);
    if (pr < 0 && errno != EINTR) return 4;
    if (pr > 0) {
      ssize_t r = ::read(0, buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {  // the parent closed our input
        FlushOut();
        return 0;
      }
      input.append(buf, static_cast<size_t>(r));
      size_t start = 0, end;
      while ((end = input.find('\n', start)) != std::string::npos) {
        int code = 0;
        if (HandleRequest(input.substr(start, end - start), code)) {
          FlushOut();
          return code;
        }
        start = end + 1;
      }
      input.erase(0, start);
    }
    SendDueReplies();
    FlushOut();
  }
}
