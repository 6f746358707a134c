// A private platform tree with a test CA, and helpers that put people's
// certificates into the personal stores and let `openssl cms` play the
// other side.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "crypto/cert_lookup.h"
#include "support/msg_fixture.h"

namespace zuntar::test {

class CryptoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = MakeCa();
    WritePem(dir_ / "ca.pem", ca_.der);
  }
  void TearDown() override { SetCertificateLookupHook(nullptr); }

  // A person with a key in a container; in the current user's "MY" unless
  // told otherwise.
  Party Person(const std::string& name, GostKeyKind kind = GostKeyKind::k2012_256, bool in_store = true,
               const Issued* ca = nullptr) {
    Party p = MakeParty(dir_, ca != nullptr ? *ca : ca_, name, kind);
    if (in_store) AddToStore(p.cert, true);
    return p;
  }

  static void AddToStore(const PCCERT_CONTEXT& cert, bool current_user) {
    HCERTSTORE store = current_user ? OpenCurrentUserStore() : OpenLocalMachineStore(false);
    ASSERT_TRUE(CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  }

  // openssl's signature of the data; `extra` adds options such as -noattr.
  Bytes OpensslSigns(const Party& p, const Bytes& data, bool detached, const std::string& extra = "") {
    WriteFile(dir_ / "data.bin", data);
    EXPECT_EQ(test::Run("openssl cms -engine gost -sign -binary -outform DER -in " + dir_ / "data.bin" + " -signer " +
                  p.cert_pem + " -inkey " + p.key_pem + (detached ? "" : " -nodetach") + extra + " -out " +
                  dir_ / "theirs.p7s"),
              0);
    return ReadFile(dir_ / "theirs.p7s");
  }

  // Whether openssl finds the signature good (and, attached, the content
  // equal to the data).
  bool OpensslVerifies(const Bytes& signature, const Bytes& data, bool detached) {
    WriteFile(dir_ / "sig.p7s", signature);
    WriteFile(dir_ / "data.bin", data);
    std::remove((dir_ / "out.bin").c_str());
    const int rc = test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir_ / "sig.p7s" +
                       (detached ? " -content " + dir_ / "data.bin" : "") + " -CAfile " + dir_ / "ca.pem" +
                       " -out " + dir_ / "out.bin");
    return rc == 0 && (detached || ReadFile(dir_ / "out.bin") == data);
  }

  // openssl's enveloped message of the data for the parties.
  Bytes OpensslEncrypts(const std::vector<const Party*>& recipients, const Bytes& data,
                        const std::string& extra = "") {
    WriteFile(dir_ / "plain.bin", data);
    std::string certs;
    for (const Party* p : recipients) certs += " " + p->cert_pem;
    EXPECT_EQ(test::Run("openssl cms -engine gost -encrypt -gost89 -binary -outform DER" + extra + " -in " +
                  dir_ / "plain.bin" + " -out " + dir_ / "theirs.p7m" + certs),
              0);
    return ReadFile(dir_ / "theirs.p7m");
  }

  // What openssl decrypts from the message with the party's key; empty on
  // failure.
  Bytes OpensslDecrypts(const Bytes& enveloped, const Party& p) {
    WriteFile(dir_ / "ours.p7m", enveloped);
    std::remove((dir_ / "out.bin").c_str());
    if (test::Run("openssl cms -engine gost -decrypt -binary -inform DER -in " + dir_ / "ours.p7m" + " -recip " +
            p.cert_pem + " -inkey " + p.key_pem + " -out " + dir_ / "out.bin") != 0)
      return {};
    return ReadFile(dir_ / "out.bin");
  }

  static Bytes Data(size_t size) {
    Bytes data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    return data;
  }

  static const BYTE* Ptr(const Bytes& b) { return reinterpret_cast<const BYTE*>(b.data()); }
  static DWORD Len(const Bytes& b) { return static_cast<DWORD>(b.size()); }

  TempDir dir_;
  ScopedPlatformRoot root_{dir_.path()};
  Issued ca_;
};

}  // namespace zuntar::test
