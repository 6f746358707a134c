// Writing DER: the few structures the layer builds itself (algorithm
// identifiers, attributes, public-key information, parameter sets) are put
// together from these pieces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/capi/base/crypt_types.h"

namespace zuntar::ber {

// The tag and definite length of an element whose contents the caller
// writes after it (streamed output).
Bytes ElementHeader(BYTE tag, size_t length);
// One element: the tag, the definite length and the contents.
Bytes Wrap(BYTE tag, std::string_view content);
// The OBJECT IDENTIFIER of a dotted text; empty when the text is not one.
Bytes Oid(const std::string& oid);
// The DER INTEGER of a little-endian blob (the CryptoAPI's form of serial
// numbers), in its minimal form.
Bytes IntegerFromBlob(const Bytes& blob);
// The DER SET OF the elements, sorted as DER requires.
Bytes SetOf(std::vector<Bytes> elements);

}  // namespace zuntar::ber
