#include "platform/capi/asn1/ber_reader.h"

namespace zuntar::ber {

namespace {

constexpr int kMaxDepth = 32;

// Header of the element at the start of input: tag, header size, content
// length; indefinite is set for 0x80. False when malformed or cut short.
bool ParseHeader(std::string_view input, size_t* header, size_t* length, bool* indefinite) {
  if (input.size() < 2) return false;
  if ((static_cast<BYTE>(input[0]) & 0x1F) == 0x1F) return false;  // high tag numbers are not used here
  const BYTE first = static_cast<BYTE>(input[1]);
  *indefinite = false;
  if (first < 0x80) {
    *header = 2;
    *length = first;
    return true;
  }
  const size_t n = first & 0x7F;
  if (n == 0) {
    if ((static_cast<BYTE>(input[0]) & 0x20) == 0) return false;  // only constructed elements may be indefinite
    *header = 2;
    *length = 0;
    *indefinite = true;
    return true;
  }
  if (n > 4 || input.size() < 2 + n) return false;
  size_t len = 0;
  for (size_t i = 0; i < n; ++i) len = (len << 8) | static_cast<BYTE>(input[2 + i]);
  *header = 2 + n;
  *length = len;
  return true;
}

}  // namespace

size_t ElementSize(std::string_view input, int depth) {
  size_t header = 0, length = 0;
  bool indefinite = false;
  if (depth > kMaxDepth || !ParseHeader(input, &header, &length, &indefinite)) return 0;
  if (!indefinite) return length <= input.size() - header ? header + length : 0;
  size_t pos = header;
  while (true) {
    if (input.size() - pos >= 2 && input[pos] == 0 && input[pos + 1] == 0) return pos + 2;
    const size_t child = ElementSize(input.substr(pos), depth + 1);
    if (child == 0) return 0;
    pos += child;
  }
}

size_t DefiniteElementSize(std::string_view input) {
  size_t header = 0, length = 0;
  bool indefinite = false;
  if (!ParseHeader(input, &header, &length, &indefinite) || indefinite) return 0;
  return length <= input.size() - header ? header + length : 0;
}

bool Reader::Next(Element* element) {
  size_t header = 0, length = 0;
  bool indefinite = false;
  if (!ParseHeader(rest_, &header, &length, &indefinite)) return false;
  const size_t size = ElementSize(rest_);
  if (size == 0) {
    rest_ = {};
    return false;
  }
  element->tag = static_cast<BYTE>(rest_[0]);
  element->whole = rest_.substr(0, size);
  element->content = indefinite ? rest_.substr(header, size - header - 2) : rest_.substr(header, length);
  rest_.remove_prefix(size);
  return true;
}

bool Reader::Expect(BYTE tag, Element* element) { return Peek(tag) && Next(element); }

std::string OidFromContent(std::string_view content) {
  if (content.empty() || (static_cast<BYTE>(content.back()) & 0x80) != 0) return {};
  std::string text;
  uint64_t value = 0;
  bool first = true;
  for (char ch : content) {
    const BYTE b = static_cast<BYTE>(ch);
    if (value > (UINT64_MAX >> 8)) return {};
    value = (value << 7) | (b & 0x7F);
    if (b & 0x80) continue;
    if (first) {
      const uint64_t arc = value < 80 ? value / 40 : 2;
      text = std::to_string(arc);
      text.push_back('.');
      text.append(std::to_string(value - arc * 40));
      first = false;
    } else {
      text.push_back('.');
      text.append(std::to_string(value));
    }
    value = 0;
  }
  return text;
}

Bytes IntegerBlob(std::string_view content) { return Bytes(content.rbegin(), content.rend()); }

}  // namespace zuntar::ber
