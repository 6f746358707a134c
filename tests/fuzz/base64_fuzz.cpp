// Decodes arbitrary text with the lenient Base64 decoder and holds it to a
// plain one-character-at-a-time reading of the same rules; the in-place
// form must agree, and whatever the decoder returns must encode and decode
// back to itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base64.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

int Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 64;
  return -1;
}

// Characters outside the alphabet are skipped; groups of four make three
// bytes, fewer where '=' stands in the third or fourth place; '=' in the
// first two places, or after a group's own '=', ends the data; a trailing
// group of fewer than four characters is dropped.
std::string Reference(std::string_view text) {
  std::string out;
  int group[4];
  int n = 0;
  for (unsigned char c : text) {
    const int v = Value(c);
    if (v < 0) continue;
    group[n++] = v;
    if (n < 4) continue;
    n = 0;
    if (group[0] == 64 || group[1] == 64) break;
    out += static_cast<char>((group[0] << 2) | (group[1] >> 4));
    if (group[2] == 64) break;
    out += static_cast<char>(((group[1] & 15) << 4) | (group[2] >> 2));
    if (group[3] == 64) break;
    out += static_cast<char>(((group[2] & 3) << 6) | group[3]);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zuntar;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = Base64Decode(text);
  Check(decoded == Reference(text));
  Check(decoded.size() <= text.size() / 4 * 3);

  std::string in_place(text);
  Base64DecodeInPlace(in_place);
  Check(in_place == decoded);

  const std::string encoded = Base64Encode(text);
  Check(encoded.size() == Base64EncodedSize(text.size()));
  Check(Base64Decode(encoded) == text);
  std::string stream(text);
  Base64EncodeStream(stream);
  Check(stream == encoded);
  std::string appended = "x";
  Base64EncodeAppend(appended, text);
  Check(appended == "x" + encoded);
  return 0;
}
