// How certificates are named across the program: the serial-number text,
// the thumbprint text and their hexadecimal helpers, and small accessors of
// certificate contexts that the other layers use.
#pragma once

#include <string>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/cert/crl_context.h"

namespace zuntar {

// The encoding of every certificate and message call of the program.
constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// A serial-number blob (least significant byte first) written from its last
// byte to its first, two uppercase hexadecimal digits per byte, every byte
// kept. Grouped: a blank after every second byte but the last ("0123 4567
// 89"), the form shown for the recipients of an encrypted message.
std::string SerialHex(const Bytes& serial_blob, bool grouped = false);
// The plain serial-number text of a certificate.
std::string CertSerialHex(const PCCERT_CONTEXT& cert);

// Two uppercase hexadecimal digits per byte, in byte order.
std::string BytesToHex(const Bytes& bytes);
// The inverse of BytesToHex for its own texts: upper-cases the text and
// turns each pair of characters into a byte, a decimal digit counting as its
// value and any other character c as (code of c - 55), modulo 256. A
// trailing odd character is ignored; nothing is validated.
Bytes HexToBytes(const std::string& text);

// The platform's context of a DER certificate or CRL; null when it does not
// decode.
PCCERT_CONTEXT DecodeCertificate(const Bytes& cert_body);
PCCRL_CONTEXT DecodeCrl(const Bytes& crl_body);

// The DER of a context (empty for null).
Bytes CertBodyOf(const PCCERT_CONTEXT& cert);
// The SHA-1 hash property (at most 64 bytes), empty when absent.
Bytes CertThumbprint(const PCCERT_CONTEXT& cert);
// The thumbprint text: BytesToHex of the SHA-1 hash property.
std::string CertThumbprintHex(const PCCERT_CONTEXT& cert);

// The first extension whose OID text is exactly `oid`; null when none.
const CERT_EXTENSION* FindExtension(const PCCERT_CONTEXT& cert, const std::string& oid);

// The provider's name (PP_NAME) without its terminating NUL; empty when it
// cannot be read.
std::string ProviderName(const HCRYPTPROV& prov);

}  // namespace zuntar
