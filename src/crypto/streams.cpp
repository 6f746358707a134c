#include "crypto/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/exception.h"

namespace zuntar {

size_t TMemoryStream::Read(void* buffer, size_t count) {
  const size_t n = position_ < bytes_.size() ? std::min(count, bytes_.size() - position_) : 0;
  if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  if (position_ > bytes_.size()) bytes_.resize(position_, '\0');
  const size_t overlap = std::min(count, bytes_.size() - position_);
  bytes_.replace(position_, overlap, static_cast<const char*>(buffer), count);
  position_ += count;
  return count;
}

void TMemoryStream::SetPosition(uint64_t position) { position_ = static_cast<size_t>(position); }

TBufferedFileStream::TBufferedFileStream(const std::string& file_name, Mode mode) {
  file_ = std::fopen(file_name.c_str(), mode == Mode::kRead ? "rb" : "wb");
  if (file_ != nullptr) return;
  const std::string reason = std::strerror(errno);
  if (mode == Mode::kRead) throw EFOpenError("Cannot open file \"" + file_name + "\". " + reason);
  throw EFCreateError("Cannot create file \"" + file_name + "\". " + reason);
}

TBufferedFileStream::~TBufferedFileStream() { std::fclose(file_); }

size_t TBufferedFileStream::Read(void* buffer, size_t count) { return std::fread(buffer, 1, count, file_); }

size_t TBufferedFileStream::Write(const void* buffer, size_t count) { return std::fwrite(buffer, 1, count, file_); }

uint64_t TBufferedFileStream::Size() {
  const off_t here = ftello(file_);
  if (here < 0 || fseeko(file_, 0, SEEK_END) != 0) return 0;
  const off_t end = ftello(file_);
  fseeko(file_, here, SEEK_SET);
  return end < 0 ? 0 : static_cast<uint64_t>(end);
}

uint64_t TBufferedFileStream::Position() {
  const off_t here = ftello(file_);
  return here < 0 ? 0 : static_cast<uint64_t>(here);
}

void TBufferedFileStream::SetPosition(uint64_t position) { fseeko(file_, static_cast<off_t>(position), SEEK_SET); }

bool TBufferedFileStream::Flush() { return std::fflush(file_) == 0; }

}  // namespace zuntar
