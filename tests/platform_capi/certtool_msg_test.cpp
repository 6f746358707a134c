// The certificate tool's message commands against the test PKI, checked
// with openssl on the other side.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/capi/cert/store_files.h"
#include "support/msg_fixture.h"
#include "support/tool_run.h"

namespace zuntar {
namespace {

using test::Tool;
using test::ToolRun;

class CertToolMsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Tool("register-provider").status, 0);
    const ToolRun made = Tool("make-test-pki --out " + dir_ / "pki");
    ASSERT_EQ(made.status, 0) << made.out;
    test::WritePem(dir_ / "ca.pem", test::ReadFile(dir_ / "pki/ca.cer"));
    // Two whole chunks and a piece: the streams end on a short read.
    Bytes data(2 * 16384 + 1000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 10));
    test::WriteFile(dir_ / "in.bin", data);
    data_ = data;
  }

  std::string Thumbprint(const std::string& id) {
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, test::ReadFile(dir_ / ("pki/" + id + ".cer")));
    EXPECT_NE(c, nullptr);
    return c != nullptr ? HexUpper(c->Sha1()) : std::string();
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path(), false};
  Bytes data_;
};

TEST_F(CertToolMsgTest, SignedFilesVerifyHereAndWithOpenssl) {
  for (const char* id : {"ivanov", "petrov", "sidorov"}) {
    for (bool detached : {false, true}) {
      SCOPED_TRACE(std::string(id) + (detached ? " detached" : " attached"));
      const ToolRun signed_run = Tool("sign --thumbprint " + Thumbprint(id) + (detached ? " --detached " : " ") +
                                      dir_ / "in.bin " + dir_ / "out.p7s");
      ASSERT_EQ(signed_run.status, 0) << signed_run.out;
      const std::string data_arg = detached ? " --data " + dir_ / "in.bin" : "";
      const ToolRun verified = Tool("verify " + dir_ / "out.p7s" + data_arg + " --out " + dir_ / "content.bin");
      EXPECT_EQ(verified.status, 0) << verified.out;
      EXPECT_NE(verified.out.find("good signature"), std::string::npos) << verified.out;
      EXPECT_NE(verified.out.find("signed 20"), std::string::npos) << verified.out;
      if (!detached) {
        EXPECT_TRUE(test::ReadFile(dir_ / "content.bin") == data_);
      }
      EXPECT_EQ(test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir_ / "out.p7s" +
                          (detached ? " -content " + dir_ / "in.bin" : "") + " -CAfile " + dir_ / "ca.pem" +
                          " -out " + dir_ / "openssl.bin"),
                0);
      EXPECT_TRUE(test::ReadFile(dir_ / "openssl.bin") == data_);

      Bytes tampered = data_;
      tampered[20000] ^= 1;
      test::WriteFile(dir_ / "tampered.bin", tampered);
      if (detached) {
        const ToolRun bad = Tool("verify " + dir_ / "out.p7s --data " + dir_ / "tampered.bin");
        EXPECT_EQ(bad.status, 1) << bad.out;
        EXPECT_NE(bad.out.find("0x80090006"), std::string::npos) << bad.out;
      } else {
        Bytes sig = test::ReadFile(dir_ / "out.p7s");
        sig[sig.find(data_.substr(19990, 20)) + 10] ^= 1;
        test::WriteFile(dir_ / "tampered.p7s", sig);
        EXPECT_EQ(Tool("verify " + dir_ / "tampered.p7s").status, 1);
      }
    }
  }
}

TEST_F(CertToolMsgTest, EncryptedFileDecryptsHereAndWithOpensslForEachRecipient) {
  const ToolRun enc = Tool("encrypt --thumbprint " + Thumbprint("ivanov") + " --thumbprint " + Thumbprint("petrov") +
                           " " + dir_ / "in.bin " + dir_ / "out.p7m");
  ASSERT_EQ(enc.status, 0) << enc.out;
  const ToolRun dec = Tool("decrypt " + dir_ / "out.p7m " + dir_ / "plain.bin");
  ASSERT_EQ(dec.status, 0) << dec.out;
  EXPECT_TRUE(test::ReadFile(dir_ / "plain.bin") == data_);
  for (const char* id : {"ivanov", "petrov"}) {
    test::WritePem(dir_ / "recip.pem", test::ReadFile(dir_ / ("pki/" + std::string(id) + ".cer")));
    EXPECT_EQ(test::Run("openssl cms -engine gost -decrypt -binary -inform DER -in " + dir_ / "out.p7m" + " -recip " +
                        dir_ / "recip.pem -inkey " + dir_ / ("pki/" + std::string(id) + ".key.pem") + " -out " +
                        dir_ / "openssl.bin"),
              0)
        << id;
    EXPECT_TRUE(test::ReadFile(dir_ / "openssl.bin") == data_) << id;
  }
  // A message for nobody here.
  ASSERT_EQ(test::Run("openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out " +
                      dir_ / "stranger.key"),
            0);
  ASSERT_EQ(test::Run("openssl req -engine gost -new -x509 -key " + dir_ / "stranger.key" +
                      " -subj /CN=Stranger -days 2 -out " + dir_ / "stranger.pem"),
            0);
  ASSERT_EQ(test::Run("openssl cms -engine gost -encrypt -gost89 -binary -outform DER -in " + dir_ / "in.bin" +
                      " -out " + dir_ / "theirs.p7m " + dir_ / "stranger.pem"),
            0);
  const ToolRun nobody = Tool("decrypt " + dir_ / "theirs.p7m " + dir_ / "plain2.bin");
  EXPECT_EQ(nobody.status, 1);
  EXPECT_NE(nobody.out.find("none of the recipients"), std::string::npos) << nobody.out;
}

TEST_F(CertToolMsgTest, HashEqualsOpensslDigest) {
  const ToolRun hashed = Tool("hash " + dir_ / "in.bin");
  ASSERT_EQ(hashed.status, 0);
  FILE* pipe = popen(("openssl dgst -engine gost -md_gost12_256 -r " + dir_ / "in.bin 2>/dev/null").c_str(), "r");
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_EQ(hashed.out.substr(0, 64), std::string(line).substr(0, 64));
}

}  // namespace
}  // namespace zuntar
