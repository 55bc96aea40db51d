#pragma once
// Reading the status line of an HTTP response ("HTTP/1.1 404 Not Found").
// Pure functions, callable from any thread.
#include <string>
#include <string_view>

namespace vexor {

struct THttpStatusLine {
  std::string Version;  // "HTTP/1.1"
  int Code = 0;         // three digits, 100..999
  std::string Reason;   // the reason phrase, may be empty; valid UTF-8
};

// Parses one status line; a trailing CR/LF is ignored. False (AResult untouched) when the text is
// not a status line. Malformed UTF-8 in the reason phrase is replaced, so the text is safe to show.
bool ParseHttpStatusLine(std::string_view ALine, THttpStatusLine& AResult);

}  // namespace vexor
