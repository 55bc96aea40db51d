#include "browser/core/DataStream.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vexor {
namespace {

// O_NONBLOCK: opening a FIFO must not hang the thread that serves requests.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Without openat2 (old kernels, strict seccomp filters): the real path must lie below the real
// base. The file is then opened by that resolved path, so no link is followed afterwards except
// by a concurrent rename inside the base itself.
int OpenBeneathByRealPath(const std::string& ABaseDir, const std::string& ARelative) {
  char base[PATH_MAX], target[PATH_MAX];
  std::string baseDir = ABaseDir.empty() ? "." : ABaseDir;
  std::string full = baseDir + "/" + ARelative;
  if (!::realpath(baseDir.c_str(), base) || !::realpath(full.c_str(), target)) return -1;
  std::string prefix = base;
  if (prefix.back() != '/') prefix += '/';
  if (std::strncmp(target, prefix.c_str(), prefix.size()) != 0) return -1;
  return ::open(target, kOpenFlags | O_NOFOLLOW);
}

}  // namespace

std::string TDataStream::ReadAll() {
  Rewind();
  std::string out(static_cast<size_t>(Size()), '\0');
  size_t got = 0;
  while (got < out.size()) {
    size_t n = Read(out.data() + got, out.size() - got);
    if (n == 0) break;
    got += n;
  }
  out.resize(got);
  return out;
}

size_t TMemoryDataStream::Read(void* ABuffer, size_t ACount) {
  size_t n = std::min(ACount, FBytes.size() - FPos);
  std::memcpy(ABuffer, FBytes.data() + FPos, n);
  FPos += n;
  return n;
}

TFileDataStream::~TFileDataStream() { ::close(FFd); }

std::unique_ptr<TFileDataStream> TFileDataStream::FromDescriptor(int AFd) {
  if (AFd < 0) return nullptr;
  struct stat st {};
  if (::fstat(AFd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(AFd);
    return nullptr;
  }
  ::fcntl(AFd, F_SETFL, ::fcntl(AFd, F_GETFL) & ~O_NONBLOCK);
  return std::unique_ptr<TFileDataStream>(new TFileDataStream(AFd, static_cast<uint64_t>(st.st_size)));
}

std::unique_ptr<TFileDataStream> TFileDataStream::Open(const std::string& APath) {
  if (APath.empty()) return nullptr;
  return FromDescriptor(::open(APath.c_str(), kOpenFlags));
}

std::unique_ptr<TFileDataStream> TFileDataStream::OpenBeneath(const std::string& ABaseDir,
                                                              const std::string& ARelative) {
  if (ARelative.empty() || ARelative.find('\0') != std::string::npos) return nullptr;
  int dir = ABaseDir.empty() ? AT_FDCWD : ::open(ABaseDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir == -1 && !ABaseDir.empty()) return nullptr;
  open_how how{};
  how.flags = static_cast<uint64_t>(kOpenFlags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  int fd = static_cast<int>(::syscall(SYS_openat2, dir, ARelative.c_str(), &how, sizeof how));
  int error = errno;
  if (dir != AT_FDCWD) ::close(dir);
  if (fd == -1 && (error == ENOSYS || error == EPERM)) fd = OpenBeneathByRealPath(ABaseDir, ARelative);
  return FromDescriptor(fd);
}

size_t TFileDataStream::Read(void* ABuffer, size_t ACount) {
  for (;;) {
    ssize_t n = ::pread(FFd, ABuffer, ACount, static_cast<off_t>(FPos));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    FPos += static_cast<uint64_t>(n);
    return static_cast<size_t>(n);
  }
}

}  // namespace vexor
