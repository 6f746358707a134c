// Base64 (RFC 4648 alphabet, '=' padding, no line breaks) and the lenient
// decoder the program has always used for request bodies.
#pragma once

#include <string>
#include <string_view>

namespace zuntar {

// Size of the encoding of `size` bytes: 4 characters per started 3 bytes.
constexpr size_t Base64EncodedSize(size_t size) { return (size + 2) / 3 * 4; }

std::string Base64Encode(std::string_view bytes);

// Appends the encoding of `bytes` to `out` without an intermediate copy.
void Base64EncodeAppend(std::string& out, std::string_view bytes);

// Decodes leniently: characters outside the alphabet are skipped, '=' ends
// the data, and a trailing group of fewer than four characters is dropped.
std::string Base64Decode(std::string_view text);
// The same, decoding over the text itself: a large request body needs no
// second buffer.
void Base64DecodeInPlace(std::string& text);

// Replaces the content of `stream` by its Base64 encoding.
void Base64EncodeStream(std::string& stream);

}  // namespace zuntar
