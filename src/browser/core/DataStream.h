#pragma once
// The byte sources a resource answer is read from: bytes in memory, or a file opened for reading.
// A stream is read by one thread at a time (it may be handed from the thread that filled it to
// the thread that reads it); its size is known before the first read.
// Files of the base directory are opened beneath that directory: the kernel refuses any path
// that leads out of it, through "..", an absolute path or a symbolic link.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vexor {

class TDataStream {
 public:
  virtual ~TDataStream() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to ACount bytes at the current position; the count read (0 at the end).
  virtual size_t Read(void* ABuffer, size_t ACount) = 0;
  // Back to the first byte.
  virtual void Rewind() = 0;
  // The whole content, from the first byte (tests, small answers); leaves the position at the end.
  std::string ReadAll();
};
using TDataStreamPtr = std::unique_ptr<TDataStream>;

class TMemoryDataStream : public TDataStream {
 public:
  explicit TMemoryDataStream(std::string ABytes) : FBytes(std::move(ABytes)) {}
  uint64_t Size() const override { return FBytes.size(); }
  size_t Read(void* ABuffer, size_t ACount) override;
  void Rewind() override { FPos = 0; }
  const std::string& Bytes() const { return FBytes; }

 private:
  // Owned by the reading thread.
  std::string FBytes;
  size_t FPos = 0;
};

class TFileDataStream : public TDataStream {
 public:
  ~TFileDataStream() override;
  // A regular file at APath; null when it cannot be opened or is no regular file.
  static std::unique_ptr<TFileDataStream> Open(const std::string& APath);
  // A regular file at ARelative below ABaseDir ("" for the current directory); null when it
  // cannot be opened, is no regular file, or its path leads out of ABaseDir.
  static std::unique_ptr<TFileDataStream> OpenBeneath(const std::string& ABaseDir, const std::string& ARelative);

  uint64_t Size() const override { return FSize; }
  size_t Read(void* ABuffer, size_t ACount) override;
  void Rewind() override { FPos = 0; }

 private:
  TFileDataStream(int AFd, uint64_t ASize) : FFd(AFd), FSize(ASize) {}
  static std::unique_ptr<TFileDataStream> FromDescriptor(int AFd);
  // Constant after construction.
  const int FFd;
  const uint64_t FSize;
  // Owned by the reading thread.
  uint64_t FPos = 0;
};

}  // namespace vexor
