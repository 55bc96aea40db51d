#pragma once
// The process's command line and the Windows rules for splitting one command-line string.
// SetProcessArgs is called once from main before any other thread starts; the readers may be
// called from any thread afterwards.
#include <string>
#include <vector>

namespace vexor {

void SetProcessArgs(int argc, const char* const* argv);
const std::vector<std::string>& ProcessArgs();

// True when some argument is ASwitch after '-' or '/', compared without regard to case.
bool FindCmdLineSwitch(const std::string& ASwitch);
bool FindCmdLineSwitch(const std::vector<std::string>& AArgs, const std::string& ASwitch);

// Splits a command line into argv: blanks (space, tab) separate arguments, double quotes group
// and are removed, backslashes before a quote escape it ("\\\"" -> '"', "\\\\\"" -> '\\' + group).
std::vector<std::string> SplitCommandLine(const std::string& ACommandLine);

// AArgument written so that SplitCommandLine gives it back as exactly one argument, whatever
// bytes it holds (blanks, quotes, backslashes, any other byte): unchanged when nothing in it
// needs quoting, otherwise in double quotes with quotes and the backslashes before them escaped.
std::string QuoteArgument(const std::string& AArgument);

// Finds a bare program name on $PATH; a name holding '/' is returned unchanged. "" when not found.
std::string FindProgramOnPath(const std::string& AProgram);

}  // namespace vexor
