// The runtime's error for a failed operating-system call: EWin32Error with
// the platform's code and the text "Ошибка Win32.  Код: %d.\n%s" (English
// when the system code page is not 1251).
#pragma once

#include <string>
#include <string_view>

#include "platform/capi/base/crypt_types.h"
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

// A text of the program in the system code page: Russian (given in UTF-8)
// when that page is 1251, else English.
std::string ProgramText(std::string_view russian_utf8, std::string_view english);

// The code as the runtime prints it: signed decimal (-2146885621).
std::string SignedDecimal(DWORD code);

// "Ошибка Win32.  Код: %d.\n%s" with the code in signed decimal and its text.
std::string Win32ErrorText(DWORD code);

// "Ошибка функции Win32 API": a call failed without saying why.
std::string UnknownWin32ErrorText();

// The error for the calling thread's last error.
EWin32Error LastWin32Error();

}  // namespace zuntar
