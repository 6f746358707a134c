#include "certs/os_error.h"

#include <string_view>

#include "core/utf.h"
#include "platform/capi/base/error_codes.h"
#include "platform/code_page.h"

namespace zuntar {

std::string ProgramText(std::string_view russian_utf8, std::string_view english) {
  return AnsiCodePage() == kCodePage1251 ? AnsiFromUtf8(russian_utf8) : std::string(english);
}

std::string SignedDecimal(DWORD code) { return std::to_string(static_cast<int32_t>(code)); }

std::string Win32ErrorText(DWORD code) {
  return ProgramText("Ошибка Win32.  Код: ", "Win32 Error.  Code: ") + SignedDecimal(code) + ".\n" +
         SysErrorMessage(code);
}

std::string UnknownWin32ErrorText() { return ProgramText("Ошибка функции Win32 API", "A Win32 API function failed"); }

EWin32Error LastWin32Error() {
  const DWORD code = GetLastError();
  return EWin32Error(code != 0 ? Win32ErrorText(code) : UnknownWin32ErrorText(), code);
}

}  // namespace zuntar
