// openssl, the independent check of what a page in a browser got from the
// plugin: the inputs such a page signs and decrypts for Ivanov's test
// certificate, and the verification of the signatures it got back. Works in
// a test's private folder that holds the output of make-test-pki in pki/.
#pragma once

#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar::test {

class OpensslCheck {
 public:
  // Writes the test CA's and Ivanov's certificates as PEM into `dir`.
  explicit OpensslCheck(std::string dir);

  // Runs openssl with `in` in the file named by the word IN of `args`; the
  // bytes it wrote to OUT, empty when it failed.
  Bytes Run(std::string args, const Bytes& in) const;
  // GOST R 34.11-2012 (256) of the data.
  Bytes Digest(const Bytes& data) const;
  // A CMS enveloped message (DER) that Ivanov's key opens.
  Bytes EncryptForIvanov(const Bytes& data) const;
  // A detached signature (DER) verified against the data and the test CA.
  bool Verifies(const Bytes& signature, const Bytes& data) const;
  // An attached signature verified; the data it holds, empty when it fails.
  Bytes VerifiedContent(const Bytes& signature) const;
  // A raw signature of a hash value, in the provider's byte order (the
  // reverse of the standard one), against Ivanov's key.
  bool HashSignatureVerifies(const Bytes& provider_signature, const Bytes& digest) const;

 private:
  std::string dir_;
};

}  // namespace zuntar::test
