#include "crypto/crypt_error.h"

#include <cstdio>
#include <string_view>

#include "core/utf.h"
#include "platform/code_page.h"
#include "platform/crypto/base/crypt_error.h"

namespace zuntar {
namespace {

bool Russian() { return AnsiCodePage() == kCodePage1251; }

// A text of the program in the system code page, Russian or English.
std::string Text(std::string_view russian_utf8, std::string_view english) {
  return Russian() ? AnsiFromUtf8(russian_utf8) : std::string(english);
}

std::string SignedDecimal(DWORD code) { return std::to_string(static_cast<int32_t>(code)); }

std::string UnknownWin32ErrorText() { return Text("Ошибка функции Win32 API", "A Win32 API function failed"); }

// Source files are named from the source root, as the runtime names units.
std::string_view SourceName(std::string_view path) {
  const size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 5);
}

}  // namespace

std::string Win32ErrorText(DWORD code) {
  return Text("Ошибка Win32.  Код: ", "Win32 Error.  Code: ") + SignedDecimal(code) + ".\n" + SysErrorMessage(code);
}

EWin32Error LastWin32Error() {
  const DWORD code = GetLastError();
  return EWin32Error(code != 0 ? Win32ErrorText(code) : UnknownWin32ErrorText(), code);
}

ECryptError CryptError(DWORD code) {
  if (code == 0) return ECryptError(UnknownWin32ErrorText(), 0);
  return ECryptError(Text("Ошибка Win32. Код: ", "Win32 Error. Code: ") + SignedDecimal(code) + ". " +
                         SysErrorMessage(code),
                     code);
}

ECryptError CryptCallError(const std::string& call_name) {
  const DWORD code = GetLastError();
  if (code == 0) return ECryptError(call_name, 0);
  return ECryptError(call_name + "(" + Win32ErrorText(code) + ")", code);
}

void Assert(bool condition, const char* message, std::source_location where) {
  if (condition) return;
  throw EAssertionFailed(std::string(message) + " (" + std::string(SourceName(where.file_name())) + ", line " +
                         std::to_string(where.line()) + ")");
}

}  // namespace zuntar
