#include "platform/capi/base/error_codes.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/capi/msg/crypt_msg_types.h"
#include "platform/code_page.h"

namespace zuntar {
namespace {

TEST(CryptError, LastErrorBelongsToTheThread) {
  SetLastError(NTE_BAD_KEY);
  std::thread other([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(CRYPT_E_NOT_FOUND);
  });
  other.join();
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
}

TEST(CryptError, EveryRaisedCodeHasItsTextInTheAnsiCodePage) {
  struct Case {
    DWORD code;
    const char16_t* russian;
    const char* english;
  } cases[] = {
      {CRYPT_E_NO_KEY_PROPERTY, u"Не удается найти сертификат и закрытый ключ для расшифровки.",
       "Cannot find the certificate and private key for decryption."},
      {SCARD_W_CANCELLED_BY_USER, u"Действие было отменено пользователем.", "The action was cancelled by the user."},
      {NTE_BAD_SIGNATURE, u"Неправильная подпись.", "Invalid Signature."},
      {CRYPT_E_NOT_FOUND, u"Не удается найти объект или свойство.", "Cannot find object or property."},
      {ERROR_MORE_DATA, u"Имеются дополнительные данные.", "More data is available."},
      {SCARD_E_NO_SUCH_CERTIFICATE, u"Запрошенный сертификат не существует.", "The requested certificate does not exist."},
  };
  for (const Case& c : cases) {
    const std::string expected =
        AnsiCodePage() == kCodePage1251 ? CodePageFromWide(kCodePage1251, c.russian) : std::string(c.english);
    EXPECT_EQ(SysErrorMessage(c.code), expected) << std::hex << c.code;
  }
  // Codes with a text of their own never fall back to the generic "0x..." one.
  for (DWORD code : {NTE_BAD_KEYSET, NTE_NO_KEY, NTE_BAD_DATA, CRYPT_E_EXISTS, CRYPT_E_ATTRIBUTES_MISSING,
                     CRYPT_E_STREAM_MSG_NOT_READY, NTE_PROV_TYPE_NOT_DEF, E_ACCESSDENIED, CRYPT_E_UNKNOWN_ALGO,
                     CRYPT_E_INVALID_MSG_TYPE, CRYPT_E_UNEXPECTED_ENCODING, CRYPT_E_HASH_VALUE, CRYPT_E_INVALID_INDEX,
                     CRYPT_E_ALREADY_DECRYPTED, CRYPT_E_NOT_DECRYPTED, CRYPT_E_RECIPIENT_NOT_FOUND,
                     CRYPT_E_CONTROL_TYPE, CRYPT_E_SIGNER_NOT_FOUND, CRYPT_E_STREAM_INSUFFICIENT_DATA,
                     CRYPT_E_NO_SIGNER, NTE_SILENT_CONTEXT}) {
    const std::string text = SysErrorMessage(code);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("0x"), std::string::npos) << std::hex << code;
  }
  EXPECT_NE(SysErrorMessage(0x80091234).find("0x80091234"), std::string::npos);
}

}  // namespace
}  // namespace zuntar
