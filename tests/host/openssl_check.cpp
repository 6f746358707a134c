#include "openssl_check.h"

#include <filesystem>

#include "platform/file_io.h"
#include "support/msg_fixture.h"

namespace zuntar::test {

OpensslCheck::OpensslCheck(std::string dir) : dir_(std::move(dir)) {
  WritePem(dir_ + "ca.pem", ReadFileToString(dir_ + "pki/ca.cer"));
  WritePem(dir_ + "ivanov.pem", ReadFileToString(dir_ + "pki/ivanov.cer"));
}

Bytes OpensslCheck::Run(std::string args, const Bytes& in) const {
  WriteFile(dir_ + "in.bin", in);
  std::filesystem::remove(dir_ + "out.bin");
  for (const std::string word : {"IN", "OUT"}) {
    const size_t at = args.find(" " + word);
    if (at != std::string::npos) args.replace(at + 1, word.size(), dir_ + (word == "IN" ? "in.bin" : "out.bin"));
  }
  return test::Run("openssl " + args) == 0 ? ReadFile(dir_ + "out.bin") : Bytes();
}

Bytes OpensslCheck::Digest(const Bytes& data) const {
  return Run("dgst -engine gost -md_gost12_256 -binary -out OUT IN", data);
}

Bytes OpensslCheck::EncryptForIvanov(const Bytes& data) const {
  return Run("cms -engine gost -encrypt -gost89 -binary -outform DER -in IN -out OUT " + dir_ + "ivanov.pem", data);
}

// -binary: the data as it is, line breaks included (without it openssl
// turns them into CR LF first).
bool OpensslCheck::Verifies(const Bytes& signature, const Bytes& data) const {
  WriteFile(dir_ + "doc.bin", data);
  WriteFile(dir_ + "doc.p7s", signature);
  return test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir_ + "doc.p7s -content " + dir_ +
                   "doc.bin -CAfile " + dir_ + "ca.pem -out /dev/null") == 0;
}

Bytes OpensslCheck::VerifiedContent(const Bytes& signature) const {
  return Run("cms -engine gost -verify -binary -inform DER -in IN -out OUT -CAfile " + dir_ + "ca.pem", signature);
}

bool OpensslCheck::HashSignatureVerifies(const Bytes& provider_signature, const Bytes& digest) const {
  WriteFile(dir_ + "digest.bin", digest);
  WriteFile(dir_ + "hash.sig", Bytes(provider_signature.rbegin(), provider_signature.rend()));
  return test::Run("openssl pkeyutl -engine gost -verify -certin -inkey " + dir_ + "ivanov.pem -in " + dir_ +
                   "digest.bin -sigfile " + dir_ + "hash.sig") == 0;
}

}  // namespace zuntar::test
