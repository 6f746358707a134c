// A response of the fund's services of about a given size for the fund
// benchmarks: a SOAP envelope whose payload is encrypted, with the openssl
// command, to a holder whose certificate is in the current user's "MY" and
// whose key is in a registry container. The ciphertext is kept in a file of
// its own for `openssl enc -d`, the anchor of the timings.
#pragma once

#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_signer.h"
#include "core/base64.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"

namespace zuntar::bench {

inline Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Bytes out(std::filesystem::file_size(path), '\0');
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  return out;
}

inline void WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct FundBenchHolder : BenchSigner {
  FundBenchHolder() : BenchSigner("fund-bench") {
    CertAddCertificateContextToStore(OpenCurrentUserStore(), cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    FILE* f = std::fopen(Path("holder.pem").c_str(), "w");
    PEM_write_X509(f, cert->Certificate());
    std::fclose(f);
    key_hex = BytesToHex(RandomBytes(32));
    iv = RandomBytes(8);
  }

  std::string Path(const std::string& name) const { return root + "/" + name; }

  static Bytes RandomBytes(size_t n) {
    Bytes out(n, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n));
    return out;
  }

  // `openssl enc -d` of the response's ciphertext with its key, to a file
  // (or /dev/null); true when it succeeds.
  bool OpensslDecrypts(const std::string& out = "/dev/null") const {
    const std::string command = "CRYPT_PARAMS=1.2.643.7.1.2.5.1.1 openssl enc -d -engine gost -gost89-cbc -nopad -K " +
                                key_hex + " -iv " + BytesToHex(iv) + " -in " + Path("cipher.bin") + " -out " + out +
                                " 2>/dev/null";
    return std::system(command.c_str()) == 0;
  }

  // Writes "response.xml" of about `size` bytes and "cipher.bin"; returns
  // the payload's size. The fund's padding (N bytes of N) is added here and
  // openssl pads nothing.
  size_t MakeResponse(size_t size) const {
    // Base64 in lines of 76 characters and CR LF: 78 characters per 57 bytes.
    size_t payload_size = size / 78 * 57 - 64;
    payload_size -= payload_size % 8 == 0 ? 1 : 0;  // an unaligned payload, so the padding is exercised
    Bytes plain = PatternData(payload_size);
    const size_t pad = 8 - payload_size % 8;
    plain.append(pad, static_cast<char>(pad));
    WriteWholeFile(Path("plain.bin"), plain);
    Bytes().swap(plain);
    const Bytes key = HexToBytes(key_hex);
    WriteWholeFile(Path("cek.bin"), key);
    const std::string quiet = " >/dev/null 2>&1";
    if (std::system(("openssl pkeyutl -engine gost -encrypt -certin -inkey " + Path("holder.pem") + " -in " +
                     Path("cek.bin") + " -out " + Path("kt.bin") + quiet)
                        .c_str()) != 0 ||
        std::system(("CRYPT_PARAMS=1.2.643.7.1.2.5.1.1 openssl enc -engine gost -gost89-cbc -nopad -K " + key_hex +
                     " -iv " + BytesToHex(iv) + " -in " + Path("plain.bin") + " -out " + Path("cipher.bin") + quiet)
                        .c_str()) != 0)
      return 0;
    std::string data = Base64Encode(iv + ReadWholeFile(Path("cipher.bin")));
    std::string lines;
    lines.reserve(data.size() / 76 * 78 + 80);
    for (size_t at = 0; at < data.size(); at += 76) lines.append(data, at, 76).append("\r\n");
    Bytes().swap(data);
    std::ofstream xml(Path("response.xml"), std::ios::binary);
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
           "<xenc:EncryptedData xmlns:xenc=\"http://www.w3.org/2001/04/xmlenc#\">"
           "<ds:KeyInfo xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><xenc:EncryptedKey><xenc:CipherData>"
           "<xenc:CipherValue>"
        << Base64Encode(ReadWholeFile(Path("kt.bin")))
        << "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedKey></ds:KeyInfo>"
           "<xenc:CipherData><xenc:CipherValue>\r\n"
        << lines << "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedData></soapenv:Body></soapenv:Envelope>";
    return payload_size;
  }

  std::string key_hex;
  Bytes iv;
};

}  // namespace zuntar::bench
