// The byte forms of provider, key and hash parameters and of the words in
// key blobs: DWORDs are four little-endian bytes, texts end at their first
// NUL.
#pragma once

#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar::csp {

inline void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The word at `pos`; the caller has checked that four bytes are there.
inline uint32_t GetU32(const Bytes& in, size_t pos) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[pos + i]);
  return v;
}

inline Bytes DwordBytes(DWORD v) {
  Bytes out;
  PutU32(out, v);
  return out;
}

inline bool ReadDword(const Bytes& value, DWORD* out) {
  if (value.size() != 4) return false;
  *out = GetU32(value, 0);
  return true;
}

inline std::string ParamText(const Bytes& value) { return value.substr(0, value.find('\0')); }

}  // namespace zuntar::csp
