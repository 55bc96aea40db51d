#include "app/RecentScripts.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/Exceptions.h"
#include "platform/Registry.h"

namespace vexor {
namespace {

std::string ValueName(size_t AIndex) { return "File" + std::to_string(AIndex + 1); }

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
    if (item && IsFile(*item) && std::find(FItems.begin(), FItems.end(), *item) == FItems.end())
      FItems.push_back(*item);
  }
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
      if (i < FItems.size())
        reg.WriteString(ValueName(i), FItems[i]);
      else if (reg.ValueExists(ValueName(i)))
        reg.DeleteValue(ValueName(i));
    }
  } catch (const Exception&) {
    // The list is a convenience: a store that cannot be written costs only the list.
  }
}

}  // namespace vexor
