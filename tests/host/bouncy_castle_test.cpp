// Bouncy Castle, a GOST implementation of its own, against the real program
// over HTTP: its enveloped messages of both forms (key transport and key
// agreement) decrypt, it decrypts the tool's key-agreement envelopes, and it
// verifies our detached and attached signatures of every kind of key,
// including those of a key imported from the PKCS #12 file a GOST provider
// exported.
#include <gtest/gtest.h>

#include "support/bouncy_castle.h"
#include "task_service_fixture.h"

namespace zuntar {
namespace {

using test::BouncyCastle;

constexpr char kExportedThumbprint[] = "D5ECBBC8DBB4164661C3E395F658A5D8B3772D03";

// A suite of its own: the fixture of the header is a class of each file.
class BouncyCastleInterop : public TaskService {};

TEST_F(BouncyCastleInterop, EnvelopesDecryptHereAndItVerifiesOurSignatures) {
  SKIP_WITHOUT_JAVA();
  std::string out;
  ASSERT_EQ(box_.CertTool("import --container cp-exported --password 1 --pfx " + std::string(ZUNTAR_INTEROP_DIR) +
                              "/cp-exported-2001.p12",
                          &out),
            0)
      << out;
  Launch();
  const std::string dir = box_.root();
  const Bytes data = Data(3000), plain = Data(5000, 3);
  test::WriteFile(dir + "/data.bin", data);
  test::WriteFile(dir + "/plain.bin", plain);
  const std::string sidorov_serial = CertSerialHex(DecodeCertificate(ReadFileToString(files() + "/sidorov.cer")));

  const std::pair<std::string, std::string> signers[] = {{"2012-256", "CertSN=" + people_["ivanov"].serial},
                                                         {"2012-512", "CertThumb=" + people_["petrov"].thumbprint},
                                                         {"2001", "CertSN=" + sidorov_serial},
                                                         {"exported 2001", std::string("CertThumb=") + kExportedThumbprint}};
  for (const auto& [kind, query] : signers) {
    for (const char* command : {"GETSIGN_SYNC", "GETSIGN_ATT_SYNC"}) {
      const HttpReply reply = Post("/MERVO/" + std::string(command) + "?" + query, data);
      test::WriteFile(dir + "/sig.p7s", Base64Decode(DataText(reply.body)));
      const bool detached = std::string(command) == "GETSIGN_SYNC";
      EXPECT_EQ(BouncyCastle("verify " + dir + "/sig.p7s" + (detached ? " " + dir + "/data.bin" : ""), &out), 0)
          << kind << " " << command << ": " << reply.body << "\n" << out;
    }
  }

  for (const char* name : {"ivanov", "petrov", "sidorov"}) {
    for (const char* form : {"kt", "agree"}) {
      const std::string cert = files() + "/" + name + ".cer";
      ASSERT_EQ(BouncyCastle(std::string("envelope ") + form + " " + cert + " " + dir + "/plain.bin " + dir + "/env.p7m",
                             &out),
                0)
          << out;
      const Bytes envelope = test::ReadFile(dir + "/env.p7m");
      // Without a certificate named the recipients are looked up; with one
      // the message is decrypted for it.
      HttpReply reply = Post("/MERVO/DECRYPT_SYNC", envelope);
      EXPECT_EQ(Base64Decode(DataText(reply.body)), plain) << name << " " << form << ": " << reply.body;
      const std::string serial = CertSerialHex(DecodeCertificate(ReadFileToString(cert)));
      reply = Post("/MERVO/DECRYPT_SYNC?CertSN=" + serial, envelope);
      EXPECT_EQ(Base64Decode(DataText(reply.body)), plain) << name << " " << form << ": " << reply.body;
    }
  }

  for (const char* name : {"ivanov", "petrov"}) {
    const Person& p = people_[name];
    ASSERT_EQ(box_.CertTool("encrypt --agree --thumbprint " + p.thumbprint + " " + dir + "/plain.bin " + dir +
                                "/ours.p7m",
                            &out),
              0)
        << out;
    EXPECT_EQ(BouncyCastle("decrypt " + p.key_pem + " " + dir + "/ours.p7m " + dir + "/theirs.bin", &out), 0) << out;
    EXPECT_EQ(test::ReadFile(dir + "/theirs.bin"), plain) << name;
  }
}

}  // namespace
}  // namespace zuntar
