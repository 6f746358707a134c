// Byte streams for the streamed message classes: the interface they read
// and write through, a stream in memory and a buffered file stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

class TStream {
 public:
  virtual ~TStream() = default;
  // Up to `count` bytes from the position on; fewer only at the end.
  virtual size_t Read(void* buffer, size_t count) = 0;
  // The bytes written (fewer when the stream cannot take them all).
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual uint64_t Size() = 0;
  virtual uint64_t Position() = 0;
  virtual void SetPosition(uint64_t position) = 0;
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(Bytes bytes) : bytes_(std::move(bytes)) {}
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  uint64_t Size() override { return bytes_.size(); }
  uint64_t Position() override { return position_; }
  void SetPosition(uint64_t position) override;
  const Bytes& Data() const { return bytes_; }

 private:
  Bytes bytes_;
  size_t position_ = 0;
};

// A file opened to read (an existing file) or to write (created or
// truncated); EFOpenError or EFCreateError when it cannot be.
class TBufferedFileStream : public TStream {
 public:
  enum class Mode { kRead, kCreate };
  TBufferedFileStream(const std::string& file_name, Mode mode);
  ~TBufferedFileStream() override;
  TBufferedFileStream(const TBufferedFileStream&) = delete;
  TBufferedFileStream& operator=(const TBufferedFileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  uint64_t Size() override;
  uint64_t Position() override;
  void SetPosition(uint64_t position) override;
  // Writes what is buffered; false when the file refuses it.
  bool Flush();

 private:
  FILE* file_ = nullptr;
};

}  // namespace zuntar
