#pragma once
// The Chromium runtime interface: what the browser layers hand to the embedded Chromium and rely
// on. The settings record keeps the runtime's own field names; the command line collects the
// switches Chromium starts with. ICefRuntime is realised by the platform (Qt WebEngine in
// src/browser) and by fakes in tests.
// Threads: start-up, scheme registration and shut-down on the main thread, before the
// application object exists (start-up) and after the last browser is gone (shut-down).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexor {

// The runtime's settings as start-up fills them; fields not set keep their zero or empty value.
struct TCefSettings {
  bool single_process = false;
  bool no_sandbox = false;
  std::string browser_subprocess_path;  // empty: not set
  bool multi_threaded_message_loop = false;
  bool external_message_pump = false;
  bool windowless_rendering_enabled = false;
  std::string cache_path;
  std::string locale;  // empty: the runtime's default
  int32_t log_severity = 0;
  std::string log_file;
  std::string resources_dir_path;  // empty: not set
  std::string locales_dir_path;    // empty: not set
  int32_t remote_debugging_port = 0;
  int32_t uncaught_exception_stack_size = 0;
};

inline constexpr int32_t LOGSEVERITY_DISABLE = 99;

struct TCefSwitch {
  std::string Name;  // without leading dashes
  std::string Value;
  bool HasValue = false;
  bool operator==(const TCefSwitch&) const = default;
};

class TCefCommandLine {
 public:
  void AppendSwitch(std::string AName) { FSwitches.push_back({std::move(AName), {}, false}); }
  void AppendSwitchWithValue(std::string AName, std::string AValue) {
    FSwitches.push_back({std::move(AName), std::move(AValue), true});
  }
  const std::vector<TCefSwitch>& Switches() const { return FSwitches; }
  // "--name" or "--name=value", in order.
  std::vector<std::string> AsArguments() const;

 private:
  std::vector<TCefSwitch> FSwitches;
};

// The switch procedure the runtime calls while it starts (for every process type alike).
using TOnBeforeCommandLineProcessing = std::function<void(TCefCommandLine&)>;

class ICefRuntime {
 public:
  virtual ~ICefRuntime() = default;
  // Loads and initialises the runtime with ASettings, calling ASwitches for its command line.
  // False when this process was one of the runtime's sub-processes and has done its work.
  // Raises when the runtime cannot be loaded ("Invalid CEF Library version" for a runtime that
  // lacks what the binding needs).
  virtual bool Initialize(const TCefSettings& ASettings, const TOnBeforeCommandLineProcessing& ASwitches) = 0;
  // Makes a URL scheme known to the runtime (an empty domain: every host).
  virtual void RegisterSchemeHandlerFactory(const std::string& AScheme, const std::string& ADomain) = 0;
  virtual void EnableHighDpiSupport() = 0;
  // One slice of the runtime's work on the main thread (the message pump's).
  virtual void DoMessageLoopWork() = 0;
  virtual void Shutdown() = 0;
};

}  // namespace vexor
