// Serial-number and thumbprint texts, the hexadecimal helpers, buffer
// sizes and the texts of the layer's errors.
#include "crypto/cert_identity.h"

#include <gtest/gtest.h>

#include "core/utf.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/crypt_message.h"
#include "crypto/encoded_messages.h"
#include "platform/capi/base/error_codes.h"
#include "platform/code_page.h"

namespace zuntar {
namespace {

bool Russian() { return AnsiCodePage() == kCodePage1251; }

TEST(CertIdentity, SerialTextsAreWrittenMostSignificantByteFirstPlainAndGrouped) {
  const Bytes five("\x89\x67\x45\x23\x01", 5);  // 01 23 45 67 89, least significant first
  EXPECT_EQ(SerialHex(five), "0123456789");
  EXPECT_EQ(SerialHex(five, true), "0123 4567 89");
  EXPECT_EQ(SerialHex(Bytes("\x34\x12\x78\x56", 4), true), "5678 1234");
  EXPECT_EQ(SerialHex(Bytes("\xAB", 1), true), "AB");
  EXPECT_EQ(SerialHex(Bytes(), true), "");
  // A 21-byte serial (a zero ahead of 20 value bytes) keeps its zero.
  Bytes serial(20, '\xFE');
  serial += '\0';
  const std::string text = SerialHex(serial);
  EXPECT_EQ(text.size(), 42u);
  EXPECT_EQ(text.substr(0, 4), "00FE");
}

TEST(CertIdentity, HexToBytesFollowsItsDigitRuleAndIgnoresAnOddTail) {
  EXPECT_EQ(HexToBytes("0aFf10"), Bytes("\x0A\xFF\x10", 3));
  EXPECT_EQ(HexToBytes("ABC"), Bytes("\xAB", 1));
  EXPECT_EQ(HexToBytes(""), Bytes());
  // Not validated: 'G' counts as 16 and a blank as -23, modulo 256.
  EXPECT_EQ(HexToBytes("G0"), Bytes("\x00", 1));
  EXPECT_EQ(HexToBytes(" 1"), Bytes(1, static_cast<char>((16 * (32 - 55) + 1) & 0xFF)));
  const Bytes all = [] {
    Bytes b;
    for (int i = 0; i < 256; ++i) b += static_cast<char>(i);
    return b;
  }();
  EXPECT_EQ(BytesToHex(Bytes("\x00\x9A\xFF", 3)), "009AFF");
  EXPECT_EQ(HexToBytes(BytesToHex(all)), all);
}

TEST(MessageBuffers, GrowthFollowsTheRoundUpRule) {
  EXPECT_EQ(RoundUpBuffer(0), 256u);
  EXPECT_EQ(RoundUpBuffer(255), 256u);
  EXPECT_EQ(RoundUpBuffer(256), 512u);
  EXPECT_EQ(RoundUpBuffer(1000), 1024u);
  EXPECT_EQ(SignatureBufferSize(1048576, false), 1057024u);
  EXPECT_EQ(SignatureBufferSize(1048576, true), 8192u);

  // A short buffer is replaced once by RoundUpBuffer(needed + 512).
  std::vector<DWORD> offered;
  const Bytes out = CallWithGrowth(100, [&](BYTE* buffer, DWORD* size) {
    offered.push_back(*size);
    if (*size < 9000) {
      *size = 9000;
      SetLastError(ERROR_MORE_DATA);
      return false;
    }
    std::fill(buffer, buffer + 9000, 'x');
    *size = 9000;
    return true;
  });
  EXPECT_EQ(offered, (std::vector<DWORD>{100, 9728}));
  EXPECT_EQ(out, Bytes(9000, 'x'));
  // Other failures, and a second short buffer, raise with their code.
  for (DWORD code : {NTE_BAD_KEY, ERROR_MORE_DATA}) {
    try {
      CallWithGrowth(16, [&](BYTE*, DWORD* size) {
        *size = 1 << 20;
        SetLastError(code);
        return false;
      });
      ADD_FAILURE() << "no error";
    } catch (const ECryptError& e) {
      EXPECT_EQ(e.ErrorCode(), code);
    }
  }
}

TEST(CryptErrors, BothFormsOfTheMessageAndTheirCodes) {
  const ECryptError coded = CryptError(NTE_BAD_SIGNATURE);
  EXPECT_EQ(coded.ErrorCode(), NTE_BAD_SIGNATURE);
  EXPECT_STREQ(coded.ClassName(), "ECryptError");
  const std::string text = SysErrorMessage(NTE_BAD_SIGNATURE);
  EXPECT_EQ(coded.what(), (Russian() ? AnsiFromUtf8("Ошибка Win32. Код: ") : std::string("Win32 Error. Code: ")) +
                              "-2146893818. " + text);
  EXPECT_EQ(CryptError(0).what(), Russian() ? AnsiFromUtf8("Ошибка функции Win32 API")
                                            : std::string("A Win32 API function failed"));

  SetLastError(SCARD_W_CANCELLED_BY_USER);
  const ECryptError named = CryptCallError("CryptSignHash");
  EXPECT_EQ(named.ErrorCode(), SCARD_W_CANCELLED_BY_USER);
  EXPECT_EQ(named.what(), "CryptSignHash(" +
                              (Russian() ? AnsiFromUtf8("Ошибка Win32.  Код: ") : std::string("Win32 Error.  Code: ")) +
                              "-2146434962.\n" + SysErrorMessage(SCARD_W_CANCELLED_BY_USER) + ")");
  SetLastError(0);
  EXPECT_STREQ(CryptCallError("CryptHashData").what(), "CryptHashData");
  EXPECT_EQ(CryptCallError("CryptHashData").ErrorCode(), 0u);

  SetLastError(CRYPT_E_NO_KEY_PROPERTY);
  const EWin32Error last = LastWin32Error();
  EXPECT_STREQ(last.ClassName(), "EWin32Error");
  EXPECT_EQ(last.what(), Win32ErrorText(CRYPT_E_NO_KEY_PROPERTY));
  EXPECT_NE(std::string(last.what()).find("-2146885621"), std::string::npos);
}

TEST(CryptErrors, AssertionsRaiseInsteadOfStopping) {
  EXPECT_NO_THROW(Assert(true, "never"));
  try {
    TEncodedEnvelopedMessage(4, {PCCERT_CONTEXT()}, reinterpret_cast<const BYTE*>("data"));
    ADD_FAILURE() << "no error";
  } catch (const EAssertionFailed& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("Bad recipient (crypto/encoded_messages.cpp, line ", 0), 0u) << message;
    EXPECT_STREQ(e.ClassName(), "EAssertionFailed");
  }
  EXPECT_THROW(TEncodedEnvelopedMessage(0, {}, reinterpret_cast<const BYTE*>("")), EAssertionFailed);
}

}  // namespace
}  // namespace zuntar
