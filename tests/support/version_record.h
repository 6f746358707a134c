// Version records (fixed-file-info blocks) for tests that write module
// files of a given version.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_version.h"

namespace zuntar::test {

inline std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// A complete record for version a.b.c.d.
inline std::string VersionRecord(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  std::string r = Le32(0xFEEF04BD) + Le32(0x00010000) + Le32(uint32_t{a} << 16 | b) + Le32(uint32_t{c} << 16 | d);
  r.resize(kFixedFileInfoSize, '\0');
  return r;
}

}  // namespace zuntar::test
