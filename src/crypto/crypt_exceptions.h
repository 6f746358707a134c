// Errors of the crypto layer: ECryptError (a failure inside message handling
// or a named platform call, an EWin32Error of certs/os_error.h) and the
// runtime's assertion failure, which this layer raises instead of stopping
// the process.
//
// Texts follow the system's code page: Russian when it is 1251, English
// otherwise, with the platform's text for the code.
#pragma once

#include <source_location>
#include <string>

#include "certs/os_error.h"
#include "platform/capi/base/crypt_types.h"
#include "platform/exception.h"

namespace zuntar {

class ECryptError : public EWin32Error {
 public:
  using EWin32Error::EWin32Error;
  const char* ClassName() const noexcept override { return "ECryptError"; }
};

ZUNTAR_DEFINE_EXCEPTION(EAssertionFailed, Exception);

// A platform failure code met inside message handling: "Ошибка Win32. Код:
// %d. %s", or "Ошибка функции Win32 API" for code 0.
ECryptError CryptError(DWORD code);

// Raises CryptError(GetLastError()) unless `ok`: how a failed platform call
// of this layer becomes an exception.
void ThrowIfFalse(bool ok);

// A failed platform call, named, with the last error: the name followed by
// "(" + Win32ErrorText + ")", or the name alone when the last error is 0.
ECryptError CryptCallError(const std::string& call_name);

// Raises EAssertionFailed "<message> (<source file>, line <n>)" when the
// condition does not hold.
void Assert(bool condition, const char* message, std::source_location where = std::source_location::current());

}  // namespace zuntar
