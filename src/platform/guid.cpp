#include "platform/guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace zuntar {

std::string NewGuidText() {
  uint8_t b[16];
  size_t filled = 0;
  while (filled < sizeof b) {
    const ssize_t n = getrandom(b + filled, sizeof b - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("no random source for a GUID");
    }
    filled += static_cast<size_t>(n);
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 0x0F];
  }
  return out;
}

}  // namespace zuntar
