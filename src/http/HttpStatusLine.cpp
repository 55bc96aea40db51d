#include "http/HttpStatusLine.h"

#include "platform/TextUtf.h"

namespace vexor {

namespace {

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

}  // namespace

bool ParseHttpStatusLine(std::string_view ALine, THttpStatusLine& AResult) {
  while (!ALine.empty() && (ALine.back() == '\n' || ALine.back() == '\r')) ALine.remove_suffix(1);

  // HTTP-version = "HTTP/" DIGIT "." DIGIT; some servers send "HTTP/2" without a minor digit.
  constexpr std::string_view Prefix = "HTTP/";
  if (ALine.substr(0, Prefix.size()) != Prefix) return false;
  size_t Pos = Prefix.size();
  size_t VersionEnd = ALine.find(' ', Pos);
  if (VersionEnd == std::string_view::npos || VersionEnd == Pos) return false;
  for (size_t I = Pos; I < VersionEnd; ++I)
    if (!IsDigit(ALine[I]) && ALine[I] != '.') return false;

  // Exactly three digits, then the end of the line or a blank before the reason phrase.
  size_t CodePos = VersionEnd + 1;
  if (ALine.size() < CodePos + 3) return false;
  int Code = 0;
  for (size_t I = CodePos; I < CodePos + 3; ++I) {
    if (!IsDigit(ALine[I])) return false;
    Code = Code * 10 + (ALine[I] - '0');
  }
  if (Code < 100) return false;
  std::string_view Rest = ALine.substr(CodePos + 3);
  if (!Rest.empty() && Rest.front() != ' ') return false;
  while (!Rest.empty() && (Rest.front() == ' ' || Rest.front() == '\t')) Rest.remove_prefix(1);
  while (!Rest.empty() && (Rest.back() == ' ' || Rest.back() == '\t')) Rest.remove_suffix(1);

  AResult.Version = std::string(ALine.substr(0, VersionEnd));
  AResult.Code = Code;
  AResult.Reason = Utf8Sanitize(Rest);
  return true;
}

}  // namespace vexor
