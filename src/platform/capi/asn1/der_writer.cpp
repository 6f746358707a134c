#include "platform/capi/asn1/der_writer.h"

#include <openssl/objects.h>

#include <algorithm>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/ossl.h"

namespace zuntar::ber {
Bytes ElementHeader(BYTE tag, size_t length) {
  Bytes out(1, static_cast<char>(tag));
  if (length < 0x80) return out + static_cast<char>(length);
  Bytes digits;
  for (size_t v = length; v > 0; v >>= 8) digits.insert(digits.begin(), static_cast<char>(v & 0xFF));
  return out + static_cast<char>(0x80 | digits.size()) + digits;
}

Bytes Wrap(BYTE tag, std::string_view content) {
  Bytes out = ElementHeader(tag, content.size());
  out += content;
  return out;
}

Bytes Oid(const std::string& oid) {
  const ossl::Asn1ObjectPtr obj(OBJ_txt2obj(oid.c_str(), 1));
  if (obj == nullptr) {
    ossl::ClearErrors();
    return {};
  }
  return ossl::ToDer(i2d_ASN1_OBJECT, obj.get());
}

Bytes IntegerFromBlob(const Bytes& blob) {
  Bytes be(blob.rbegin(), blob.rend());
  // Minimal form: no redundant leading zeros, and a zero in front of a set
  // high bit so the value stays positive.
  size_t skip = 0;
  while (skip + 1 < be.size() && be[skip] == 0 && (static_cast<BYTE>(be[skip + 1]) & 0x80) == 0) ++skip;
  be.erase(0, skip);
  if (be.empty()) be = Bytes(1, '\0');
  return Wrap(kInteger, be);
}

Bytes SetOf(std::vector<Bytes> elements) {
  std::sort(elements.begin(), elements.end(), [](const Bytes& a, const Bytes& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<BYTE>(x) < static_cast<BYTE>(y);
    });
  });
  Bytes content;
  for (const Bytes& e : elements) content += e;
  return Wrap(kSet, content);
}

}  // namespace zuntar::ber
