// An encrypted response of the fund's services made with the openssl
// command, as the fund's side makes them: the content key sent to the
// holder's certificate with GOST key transport, the payload (padded with N
// bytes of N) in GOST 28147-89 CBC, both Base64 in a SOAP envelope.
#pragma once

#include <openssl/rand.h>

#include <string>

#include "core/base64.h"
#include "crypto/cert_identity.h"
#include "support/msg_fixture.h"
#include "support/temp_dir.h"

namespace zuntar::test {

inline std::string OpensslFundResponse(const TempDir& dir, const std::string& holder_cert_pem, const Bytes& payload) {
  Bytes key(32, '\0'), iv(8, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size()));
  RAND_bytes(reinterpret_cast<unsigned char*>(iv.data()), static_cast<int>(iv.size()));
  const size_t pad = (8 - payload.size() % 8) % 8;
  WriteFile(dir / "fund-key.bin", key);
  WriteFile(dir / "fund-plain.bin", payload + Bytes(pad, static_cast<char>(pad)));
  if (Run("openssl pkeyutl -engine gost -encrypt -certin -inkey " + holder_cert_pem + " -in " + dir / "fund-key.bin" +
          " -out " + dir / "fund-kt.bin") != 0 ||
      Run("CRYPT_PARAMS=1.2.643.7.1.2.5.1.1 openssl enc -engine gost -gost89-cbc -nopad -K " + BytesToHex(key) +
          " -iv " + BytesToHex(iv) + " -in " + dir / "fund-plain.bin" + " -out " + dir / "fund-cipher.bin") != 0)
    return {};
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
         "<xenc:EncryptedData xmlns:xenc=\"http://www.w3.org/2001/04/xmlenc#\">"
         "<ds:KeyInfo xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><xenc:EncryptedKey><xenc:CipherData>"
         "<xenc:CipherValue>" +
         Base64Encode(ReadFile(dir / "fund-kt.bin")) +
         "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedKey></ds:KeyInfo>"
         "<xenc:CipherData><xenc:CipherValue>" +
         Base64Encode(iv + ReadFile(dir / "fund-cipher.bin")) +
         "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedData></soapenv:Body></soapenv:Envelope>";
}

}  // namespace zuntar::test
