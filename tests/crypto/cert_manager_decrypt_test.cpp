// Decryption by the certificate manager: the certificate given or current,
// then every recipient with a key in the user's store and in the machine's,
// the person's cancel, and the error when nobody can decrypt.
#include <gtest/gtest.h>

#include "certs/vcert_error.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/encoded_messages.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"
#include "support/scripted_prompt.h"

namespace zuntar {
namespace {

class DecryptTest : public test::CryptoTest {
 protected:
  void SetUp() override {
    CryptoTest::SetUp();
    data_ = "Ответ фонда " + Data(2000);
    manager_.SetStreamDecryptFallback(true);
    // Recipient 0 has its key in the machine's store without a PIN,
    // recipient 1 in the user's store behind the PIN "1".
    machine_ = Person("machine-key", GostKeyKind::k2012_256, false);
    AddToStore(machine_.cert, false);
    user_ = test::MakeParty(dir_, ca_, "user-key", GostKeyKind::k2012_512, AT_KEYEXCHANGE, nullptr, "1");
    AddToStore(user_.cert, true);
    enveloped_ = TEncodedEnvelopedMessage(Len(data_), {machine_.cert, user_.cert}, Ptr(data_)).Content();
  }

  TVCertMgrCSP manager_;
  test::Party machine_, user_;
  Bytes data_, enveloped_;
};

TEST_F(DecryptTest, UserStoreBeforeMachineStore) {
  test::ScriptedPrompt prompt;
  prompt.pins.push_back("1");
  EXPECT_TRUE(manager_.Decrypt(enveloped_, {}) == data_);
  // The user's recipient answered although the machine's comes first in
  // the message.
  EXPECT_EQ(prompt.asked, (std::vector<std::string>{"pin:user-key"}));
  // A body or the current certificate is tried before any store.
  EXPECT_TRUE(manager_.Decrypt(enveloped_, machine_.issued.der) == data_);
  manager_.SetCertificate(machine_.issued.der);
  EXPECT_TRUE(manager_.Decrypt(enveloped_, {}) == data_);
  EXPECT_EQ(prompt.asked.size(), 1u);
}

TEST_F(DecryptTest, CancelStopsTheSearch) {
  // The machine's key would decrypt without asking; after the person's
  // cancel nobody else is tried.
  for (const Bytes& body : {Bytes(), user_.issued.der}) {
    test::ScriptedPrompt prompt;  // answers Cancel
    try {
      manager_.Decrypt(enveloped_, body);
      ADD_FAILURE() << "decrypted after the cancel";
    } catch (const std::exception& e) {
      // The code of the cancel, signed from a single call, unsigned from
      // the decryption among several recipients.
      const std::string message = e.what();
      EXPECT_TRUE(message.find("-2146434962") != std::string::npos ||
                  message.find(std::to_string(SCARD_W_CANCELLED_BY_USER)) != std::string::npos)
          << message;
    }
    EXPECT_EQ(prompt.asked, (std::vector<std::string>{"pin:user-key"}));
  }
  // In the machine's store too: the cancel comes back, not "unknown
  // recipient".
  const test::Party locked =
      test::MakeParty(dir_, ca_, "machine-pin", GostKeyKind::k2012_256, AT_KEYEXCHANGE, nullptr, "2");
  AddToStore(locked.cert, false);
  const Bytes message = TEncodedEnvelopedMessage(Len(data_), {locked.cert}, Ptr(data_)).Content();
  test::ScriptedPrompt prompt;
  try {
    manager_.Decrypt(message, {});
    ADD_FAILURE() << "decrypted after the cancel";
  } catch (const VCERT_Error& e) {
    ADD_FAILURE() << e.what();
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("-2146434962"), std::string::npos) << e.what();
  }
  EXPECT_EQ(prompt.asked, (std::vector<std::string>{"pin:machine-pin"}));
}

TEST_F(DecryptTest, NobodyAtHandEndsWithTheUnknownRecipientCode) {
  const test::Party stranger = Person("stranger", GostKeyKind::k2012_256, false);
  const test::Party gone = Person("gone", GostKeyKind::k2012_256, false);
  AddToStore(DecodeCertificate(gone.issued.der), true);  // in the store, without its key link
  const Bytes message = TEncodedEnvelopedMessage(Len(data_), {stranger.cert, gone.cert}, Ptr(data_)).Content();
  for (const Bytes& body : {Bytes(), stranger.issued.der}) {
    try {
      manager_.Decrypt(message, body);
      ADD_FAILURE() << "decrypted";
    } catch (const VCERT_Error& e) {
      EXPECT_EQ(e.ErrorCode(), 0xE0700026u);
      EXPECT_EQ(std::string(e.what()), AnsiFromUtf8("Неизвестен получатель зашифрованного сообщения !"));
    }
  }
  // What is no enveloped message fails while it is read.
  EXPECT_THROW(manager_.Decrypt("not a message", {}), ECryptError);
}

}  // namespace
}  // namespace zuntar
