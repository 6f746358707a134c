// Error codes of the CryptoAPI-shaped layer, the per-thread last error and
// the message text of each code.
//
// Every operation that returns false (or a null handle) leaves its reason in
// the calling thread's last error, as the Windows API does; callers read it
// with GetLastError() and show it with SysErrorMessage().
#pragma once

#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_CANCELLED = 1223;

constexpr DWORD E_ACCESSDENIED = 0x80070005;
constexpr DWORD E_INVALIDARG = 0x80070057;

constexpr DWORD NTE_BAD_UID = 0x80090001;
constexpr DWORD NTE_BAD_HASH = 0x80090002;
constexpr DWORD NTE_BAD_KEY = 0x80090003;
constexpr DWORD NTE_BAD_LEN = 0x80090004;
constexpr DWORD NTE_BAD_DATA = 0x80090005;
constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006;
constexpr DWORD NTE_BAD_ALGID = 0x80090008;
constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;
constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000C;
constexpr DWORD NTE_NO_KEY = 0x8009000D;
constexpr DWORD NTE_EXISTS = 0x8009000F;
constexpr DWORD NTE_PERM = 0x80090010;
constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014;
constexpr DWORD NTE_BAD_PUBLIC_KEY = 0x80090015;
constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
constexpr DWORD NTE_PROV_TYPE_NOT_DEF = 0x80090017;
constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
constexpr DWORD NTE_PROV_TYPE_NO_MATCH = 0x8009001B;
constexpr DWORD NTE_PROVIDER_DLL_FAIL = 0x8009001D;
constexpr DWORD NTE_PROV_DLL_NOT_FOUND = 0x8009001E;
constexpr DWORD NTE_FAIL = 0x80090020;
constexpr DWORD NTE_SILENT_CONTEXT = 0x80090022;

constexpr DWORD CRYPT_E_MSG_ERROR = 0x80091001;
constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002;
constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
constexpr DWORD CRYPT_E_UNEXPECTED_ENCODING = 0x80091005;
constexpr DWORD CRYPT_E_HASH_VALUE = 0x80091007;
constexpr DWORD CRYPT_E_INVALID_INDEX = 0x80091008;
constexpr DWORD CRYPT_E_ALREADY_DECRYPTED = 0x80091009;
constexpr DWORD CRYPT_E_NOT_DECRYPTED = 0x8009100A;
constexpr DWORD CRYPT_E_RECIPIENT_NOT_FOUND = 0x8009100B;
constexpr DWORD CRYPT_E_CONTROL_TYPE = 0x8009100C;
constexpr DWORD CRYPT_E_SIGNER_NOT_FOUND = 0x8009100E;
constexpr DWORD CRYPT_E_ATTRIBUTES_MISSING = 0x8009100F;
constexpr DWORD CRYPT_E_STREAM_MSG_NOT_READY = 0x80091010;
constexpr DWORD CRYPT_E_STREAM_INSUFFICIENT_DATA = 0x80091011;
constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD CRYPT_E_EXISTS = 0x80092005;
constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
constexpr DWORD CRYPT_E_NO_SIGNER = 0x8009200E;
constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102;
constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103;
constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;

constexpr DWORD SCARD_E_NO_SUCH_CERTIFICATE = 0x8010002C;
constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B;
constexpr DWORD SCARD_W_CANCELLED_BY_USER = 0x8010006E;

// The calling thread's last error.
DWORD GetLastError();
void SetLastError(DWORD code);

// The system's text for a code, in the ANSI code page: Russian when that
// page is 1251, English otherwise. An unknown code gives a generic text that
// names it in hexadecimal.
std::string SysErrorMessage(DWORD code);

// Sets the last error and returns false: `return Fail(NTE_BAD_KEY);`.
inline bool Fail(DWORD code) {
  SetLastError(code);
  return false;
}

}  // namespace zuntar
