#include "core/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace zuntar {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters per 12 input bits: halves the table look-ups of the
// encoder's inner loop.
struct PairTable {
  std::array<char, 8192> chars{};
  constexpr PairTable() {
    for (int i = 0; i < 4096; ++i) {
      chars[2 * i] = kAlphabet[i >> 6];
      chars[2 * i + 1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

constexpr uint32_t kSkip = 0x01000000;  // not in the alphabet
constexpr uint32_t kEnd = 0x02000000;   // '='

// Decoding tables with each 6-bit value pre-shifted to its place in a
// 24-bit group, so a whole group of valid characters costs four look-ups and
// three ORs; any flag bit in the result sends the group to the slow path.
struct DecodeTables {
  std::array<uint32_t, 256> d0{}, d1{}, d2{}, d3{};
  constexpr DecodeTables() {
    for (int i = 0; i < 256; ++i) d0[i] = d1[i] = d2[i] = d3[i] = kSkip;
    d0['='] = d1['='] = d2['='] = d3['='] = kEnd;
    for (uint32_t v = 0; v < 64; ++v) {
      const auto c = static_cast<unsigned char>(kAlphabet[v]);
      d0[c] = v << 18;
      d1[c] = v << 12;
      d2[c] = v << 6;
      d3[c] = v;
    }
  }
};
constexpr DecodeTables kDecode;

char* EncodeInto(char* out, const unsigned char* in, size_t size) {
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(out, &kPairs.chars[2 * (v >> 12)], 2);
    std::memcpy(out + 2, &kPairs.chars[2 * (v & 0xFFF)], 2);
    out += 4;
  }
  if (size - i == 1) {
    const uint32_t v = uint32_t{in[i]} << 16;
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = '=';
    *out++ = '=';
  } else if (size - i == 2) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = kAlphabet[(v >> 6) & 63];
    *out++ = '=';
  }
  return out;
}

// Writes the decoding of in[0, n) to `o` and returns the end of what was
// written. Never writes ahead of what it has read (three bytes out for four
// characters in), so `o` may be `in` itself.
unsigned char* DecodeInto(unsigned char* o, const unsigned char* in, size_t n) {
  size_t i = 0;
  uint32_t group[4];
  int collected = 0;
  while (i < n) {
    // Fast path: four alphabet characters in a row while no partial group
    // is pending.
    if (collected == 0) {
      while (i + 4 <= n) {
        const uint32_t v = kDecode.d0[in[i]] | kDecode.d1[in[i + 1]] | kDecode.d2[in[i + 2]] | kDecode.d3[in[i + 3]];
        if (v & (kSkip | kEnd)) break;
        o[0] = static_cast<unsigned char>(v >> 16);
        o[1] = static_cast<unsigned char>(v >> 8);
        o[2] = static_cast<unsigned char>(v);
        o += 3;
        i += 4;
      }
      if (i >= n) break;
    }
    // Slow path, one character at a time.
    const uint32_t v = kDecode.d3[in[i++]];
    if (v & kSkip) continue;
    group[collected++] = v;
    if (collected < 4) continue;
    collected = 0;
    const uint32_t p = group[0], q = group[1], r = group[2], s = group[3];
    if ((p | q) & kEnd) break;  // no encoder writes this; the data ends
    *o++ = static_cast<unsigned char>((p << 2) | (q >> 4));
    if (r & kEnd) break;
    *o++ = static_cast<unsigned char>(((q & 15) << 4) | (r >> 2));
    if (s & kEnd) break;
    *o++ = static_cast<unsigned char>(((r & 3) << 6) | s);
  }
  return o;
}

}  // namespace

void Base64EncodeAppend(std::string& out, std::string_view bytes) {
  const size_t start = out.size();
  out.resize(start + Base64EncodedSize(bytes.size()));
  EncodeInto(out.data() + start, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  Base64EncodeAppend(out, bytes);
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out(text.size() / 4 * 3 + 3, '\0');
  auto* begin = reinterpret_cast<unsigned char*>(out.data());
  const unsigned char* end = DecodeInto(begin, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  out.resize(static_cast<size_t>(end - begin));
  return out;
}

void Base64DecodeInPlace(std::string& text) {
  auto* begin = reinterpret_cast<unsigned char*>(text.data());
  const unsigned char* end = DecodeInto(begin, begin, text.size());
  text.resize(static_cast<size_t>(end - begin));
}

void Base64EncodeStream(std::string& stream) { stream = Base64Encode(stream); }

}  // namespace zuntar
