#pragma once
// What a line written to a terminal reads as once shown: escape and control sequences (colours,
// cursor movement, window titles) left out, and of a line rewritten with carriage returns (a
// progress bar) only the last version. For line consumers of a terminal's output (messages,
// filters); the terminal view itself renders the bytes as they are.
// Threads: any (a pure function).
#include <string>
#include <string_view>

namespace vexor {

std::string TerminalLineText(std::string_view ALine);

}  // namespace vexor
