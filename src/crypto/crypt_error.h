// Errors of the crypto layer: the runtime's EWin32Error (an operating-system
// failure with its code), ECryptError (a failure inside message handling or
// a named platform call) and the runtime's assertion failure, which this
// layer raises instead of stopping the process.
//
// Texts follow the system's code page: Russian when it is 1251, English
// otherwise, with the platform's text for the code.
#pragma once

#include <source_location>
#include <string>

#include "platform/crypto/base/crypt_types.h"
#include "platform/exception.h"

namespace zuntar {

class EWin32Error : public Exception {
 public:
  EWin32Error(const std::string& message, DWORD code) : Exception(message), code_(code) {}
  DWORD ErrorCode() const { return code_; }
  const char* ClassName() const noexcept override { return "EWin32Error"; }

 private:
  DWORD code_;
};

class ECryptError : public EWin32Error {
 public:
  using EWin32Error::EWin32Error;
  const char* ClassName() const noexcept override { return "ECryptError"; }
};

ZUNTAR_DEFINE_EXCEPTION(EAssertionFailed, Exception);

// The runtime's text of an operating-system error: "Ошибка Win32.  Код:
// %d.\n%s" with the code in signed decimal and its text.
std::string Win32ErrorText(DWORD code);

// The runtime's error for the calling thread's last error; code 0 gives
// "Ошибка функции Win32 API".
EWin32Error LastWin32Error();

// A platform failure code met inside message handling: "Ошибка Win32. Код:
// %d. %s", or "Ошибка функции Win32 API" for code 0.
ECryptError CryptError(DWORD code);

// A failed platform call, named, with the last error: the name followed by
// "(" + Win32ErrorText + ")", or the name alone when the last error is 0.
ECryptError CryptCallError(const std::string& call_name);

// Raises EAssertionFailed "<message> (<source file>, line <n>)" when the
// condition does not hold.
void Assert(bool condition, const char* message, std::source_location where = std::source_location::current());

}  // namespace zuntar
