#pragma once
// A temporary folder for one test, removed with everything in it when the object goes away.
// Used on one thread.
#include <cstdlib>
#include <filesystem>
#include <string>

namespace vexor::testing {

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& AName) const { return FPath + "/" + AName; }

 private:
  std::string FPath;
};

// Sets an environment variable for the lifetime of the object, restoring the old value after.
class TScopedEnv {
 public:
  TScopedEnv(const char* AName, const std::string& AValue) : FName(AName) {
    if (const char* old = std::getenv(AName)) FOld = old, FHad = true;
    ::setenv(AName, AValue.c_str(), 1);
  }
  ~TScopedEnv() {
    if (FHad)
      ::setenv(FName.c_str(), FOld.c_str(), 1);
    else
      ::unsetenv(FName.c_str());
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  std::string FName, FOld;
  bool FHad = false;
};

}  // namespace vexor::testing
