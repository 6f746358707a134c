// Reading BER/DER elements held in memory: one tag-length-value at a time,
// with definite and indefinite lengths, never reading past the input.
//
// Used for the small pieces of a message (signer and recipient information,
// algorithm identifiers, attributes) once the stream parser has collected
// them; a malformed element makes Next() answer false and leaves the reader
// unusable.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/capi/base/crypt_types.h"

namespace zuntar::ber {

constexpr BYTE kInteger = 0x02;
constexpr BYTE kBitString = 0x03;
constexpr BYTE kOctetString = 0x04;
constexpr BYTE kNull = 0x05;
constexpr BYTE kOid = 0x06;
constexpr BYTE kUtcTime = 0x17;
constexpr BYTE kGeneralizedTime = 0x18;
constexpr BYTE kSequence = 0x30;
constexpr BYTE kSet = 0x31;
constexpr BYTE kContext0 = 0xA0;  // [0] constructed
constexpr BYTE kContext1 = 0xA1;
constexpr BYTE kImplicit0 = 0x80;  // [0] primitive

// One element: its tag byte, its whole encoding and its contents (for an
// indefinite length, the contents without the end-of-contents octets).
struct Element {
  BYTE tag = 0;
  std::string_view whole;
  std::string_view content;
  bool constructed() const { return (tag & 0x20) != 0; }
};

class Reader {
 public:
  explicit Reader(std::string_view input) : rest_(input) {}
  bool empty() const { return rest_.empty(); }
  // The next element; false at the end or on malformed input.
  bool Next(Element* element);
  // The next element only when it has this tag.
  bool Expect(BYTE tag, Element* element);
  // Whether the next element has this tag (without consuming it).
  bool Peek(BYTE tag) const { return !rest_.empty() && static_cast<BYTE>(rest_[0]) == tag; }

 private:
  std::string_view rest_;
};

// Size of the element at the start of input (0 when it is not complete and
// well formed). `depth` limits nesting of indefinite lengths.
size_t ElementSize(std::string_view input, int depth = 0);
// The same for DER, where lengths are always definite: 0 for an indefinite
// length too.
size_t DefiniteElementSize(std::string_view input);

// The dotted text of an OBJECT IDENTIFIER's contents; empty when malformed.
std::string OidFromContent(std::string_view content);

// An element's contents as a DER INTEGER turned around into the CryptoAPI's
// little-endian blob.
Bytes IntegerBlob(std::string_view content);

}  // namespace zuntar::ber
