#include "crypto/crypt_exceptions.h"

#include <string_view>

#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

// Source files are named from the source root, as the runtime names units.
std::string_view SourceName(std::string_view path) {
  const size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 5);
}

}  // namespace

ECryptError CryptError(DWORD code) {
  if (code == 0) return ECryptError(UnknownWin32ErrorText(), 0);
  return ECryptError(ProgramText("Ошибка Win32. Код: ", "Win32 Error. Code: ") + SignedDecimal(code) + ". " +
                         SysErrorMessage(code),
                     code);
}

void ThrowIfFalse(bool ok) {
  if (!ok) throw CryptError(GetLastError());
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
