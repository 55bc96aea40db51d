#include "app/RecentScripts.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/Exceptions.h"
#include "platform/CommandLine.h"
#include "platform/Registry.h"

namespace vexor {
namespace {

std::string ValueName(size_t AIndex, const char* AName = "File") { return AName + std::to_string(AIndex + 1); }


bool IsFile(const std::string& APath) {
  struct stat st {};
  return !APath.empty() && ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

TRecentScripts::TRecentScripts() {
  TRegistry reg;
  if (!reg.OpenKeyReadOnly(kKey)) return;
  for (size_t i = 0; i < kMaxItems; ++i) {
    std::optional<std::string> item = reg.ReadString(ValueName(i));
    if (!item || !IsFile(*item) || std::find(FItems.begin(), FItems.end(), *item) != FItems.end()) continue;
    FItems.push_back(*item);
    TScriptSettings settings;
    auto text = [&](const char* AName) { return reg.ReadString(ValueName(i, AName)).value_or(""); };
    settings.Arguments = SplitArguments(text("Args"));
    settings.NodeOptions = SplitArguments(text("NodeOptions"));
    settings.Environment = SplitArguments(text("Env"));
    settings.WorkingFolder = text("Cwd");
    settings.Watch = text("Watch") == "1";
    settings.Restart = text("Restart") != "0";
    FSettings[*item] = settings;
  }
}

std::string JoinArguments(const std::vector<std::string>& AArguments) {
  std::string line;
  for (const std::string& argument : AArguments) {
    if (!line.empty()) line += ' ';
    line += QuoteArgument(argument);
  }
  return line;
}

std::vector<std::string> SplitArguments(const std::string& ALine) {
  if (ALine.find_first_not_of(" \t") == std::string::npos) return {};
  return SplitCommandLine(ALine);
}

void TRecentScripts::Add(const std::string& AScript, const TScriptSettings& ASettings) {
  FSettings[AScript] = ASettings;
  Add(AScript);
}

std::optional<TScriptSettings> TRecentScripts::SettingsOf(const std::string& AScript) const {
  auto found = FSettings.find(AScript);
  if (found == FSettings.end()) return std::nullopt;
  return found->second;
}

void TRecentScripts::Add(const std::string& AScript) {
  FItems.erase(std::remove(FItems.begin(), FItems.end(), AScript), FItems.end());
  FItems.insert(FItems.begin(), AScript);
  FItems = Items();
  if (FItems.size() > kMaxItems) FItems.resize(kMaxItems);
  Save();
}

std::vector<std::string> TRecentScripts::Items() const {
  std::vector<std::string> items;
  std::copy_if(FItems.begin(), FItems.end(), std::back_inserter(items), IsFile);
  return items;
}

void TRecentScripts::Save() const {
  try {
    TRegistry reg;
    if (!reg.OpenKey(kKey, true)) return;
    for (size_t i = 0; i < kMaxItems; ++i) {
      if (i < FItems.size()) {
        reg.WriteString(ValueName(i), FItems[i]);
        const auto found = FSettings.find(FItems[i]);
        const TScriptSettings settings = found == FSettings.end() ? TScriptSettings() : found->second;
        reg.WriteString(ValueName(i, "Args"), JoinArguments(settings.Arguments));
        reg.WriteString(ValueName(i, "NodeOptions"), JoinArguments(settings.NodeOptions));
        reg.WriteString(ValueName(i, "Env"), JoinArguments(settings.Environment));
        reg.WriteString(ValueName(i, "Cwd"), settings.WorkingFolder);
        reg.WriteString(ValueName(i, "Watch"), settings.Watch ? "1" : "0");
        reg.WriteString(ValueName(i, "Restart"), settings.Restart ? "1" : "0");
        continue;
      }
      for (const char* name : {"File", "Args", "NodeOptions", "Env", "Cwd", "Watch", "Restart"})
        if (reg.ValueExists(ValueName(i, name))) reg.DeleteValue(ValueName(i, name));
    }
  } catch (const Exception&) {
    // The list is a convenience: a store that cannot be written costs only the list.
  }
}

}  // namespace vexor
