#pragma once
// The debug-output channel: one line per message on standard error, written with one write()
// so that lines from different threads never interleave. Callable from any thread; takes no lock.
// Tests may capture the channel.
#include <functional>
#include <string_view>

namespace vexor {

void OutputDebugString(std::string_view AText);

// Redirects the channel (tests); an empty function restores standard error.
// Not synchronized with writers: install before and remove after the threads that write.
void SetDebugOutputSink(std::function<void(std::string_view)> ASink);

}  // namespace vexor
