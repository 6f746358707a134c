// What the certificate manager's checks share: their result codes, the
// validity check of a certificate at a time, the mapping of a chain's
// trust-status bits to a code, and the check of a decoded signed message's
// signers with the certificate list it fills.
//
// Codes are returned, not raised; a text describes what failed. Times are
// the program's date-time values in UTC.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/string_list.h"
#include "crypto/crypt_message.h"
#include "platform/date_time.h"

namespace zuntar {

inline constexpr uint32_t kCheckFailed = 0xE0700001;             // no chain check, or an unlisted chain error
inline constexpr uint32_t kCheckPartialChain = 0xE0700035;       // or a certificate signature is invalid
inline constexpr uint32_t kCheckNotTimeValid = 0xE0700036;       // or validity not nested
inline constexpr uint32_t kCheckRevoked = 0xE0700039;
inline constexpr uint32_t kCheckCtlNotTimeValid = 0xE070003C;
inline constexpr uint32_t kCheckCtlInvalid = 0xE070003D;         // signature or usage of a CTL
inline constexpr uint32_t kCheckCyclicOrExtension = 0xE070003F;
inline constexpr uint32_t kCheckNotValidForUsage = 0xE0700041;   // or no digital-signature key usage
inline constexpr uint32_t kCheckIntegrityViolated = 0xE0700042;
inline constexpr uint32_t kCheckUntrustedRoot = 0xE0700046;

// Appends a line to an error text, after "\r\n" when the text has some.
void AppendErrorLine(std::string& error_text, const std::string& line);

// Checks that `at` lies within the certificate's validity period (both
// bounds included, at the two-second resolution of the program's file
// times). Each violated bound appends its text; the result is 0 or
// kCheckNotTimeValid.
uint32_t CheckValidityAt(const PCCERT_CONTEXT& cert, DateTime at, std::string& error_text);

// The code of a chain's error status, the first matching bit in this
// order: partial chain, not time valid, not time nested, untrusted root,
// revoked, signature not valid, not valid for usage, cyclic or invalid
// extension, CTL not time valid, CTL signature or usage; kCheckFailed for
// any other bit. 0 only for 0.
uint32_t ChainErrorCode(DWORD error_status);

// How a form of signature check treats its signers.
struct SignatureCheckRules {
  // A check time of 0 means each signer's signing time when the signer
  // has one (detached signatures), else the current UTC time.
  bool at_signing_time = false;
  // The integrity text ends with ". Код ошибки: " and the code of the last
  // failed check, when there is one.
  bool with_error_code = false;
};

// Checks every signer of the message with `verify` (true: a good
// signature; false leaves the reason in the last error). A message that no
// one signed is not a valid signature. When every signature is good, each
// signer's own certificate is checked for validity at the check time and
// listed with the signer's signing time (Unix seconds, 0 without one);
// otherwise every certificate the message carries is listed, each with its
// signer's signing time (the first signer's for one that is nobody's).
// `cert_list` may be null. Returns 0, kCheckIntegrityViolated or
// kCheckNotTimeValid; raises only for a message it cannot read.
uint32_t CheckSignatures(TDecodedSignedCryptoMessage& message, const std::function<bool(DWORD)>& verify,
                         const SignatureCheckRules& rules, DateTime check_time, TStringList* cert_list,
                         std::string& error_text);

// Lists the signers' own certificates with their signing times, as
// CheckSignatures does for good signatures.
void ListSignerCertificates(TDecodedSignedCryptoMessage& message, TStringList& list);

}  // namespace zuntar
