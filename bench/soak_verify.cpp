// The checking side of bench/soak.py: one process that verifies every
// signature the load test gets, with OpenSSL's CMS and the gost engine, as
// `openssl cms -verify` does, without starting a process per signature.
//
// Usage: bench_soak_verify CA.pem [NAME=CERT.pem ...]
// Reads lines "<tag> <kind> <Base64 signature> <Base64 data>" from stdin,
// kind being "detached", "attached" or "hash:<NAME>" (a raw signature of a
// hash value in the provider's byte order, by the certificate NAME), and
// answers each with "<tag> ok" or "<tag> fail <reason>".
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "core/base64.h"
#include "platform/capi/base/ossl.h"

namespace {

using zuntar::Bytes;
namespace ossl = zuntar::ossl;

ossl::X509Ptr ReadPem(const std::string& file) {
  const ossl::BioPtr bio(BIO_new_file(file.c_str(), "r"));
  return ossl::X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string LastError() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  char text[256] = "no OpenSSL error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return text;
}

BIO* MemoryOf(const Bytes& bytes) { return BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())); }

// Empty when the signature holds, else why not.
std::string VerifyCms(X509_STORE* roots, const Bytes& signature, const Bytes& data, bool detached) {
  const ossl::BioPtr in(MemoryOf(signature));
  const ossl::CmsPtr cms(d2i_CMS_bio(in.get(), nullptr));
  if (!cms) return "not a CMS message: " + LastError();
  const ossl::BioPtr content(detached ? MemoryOf(data) : nullptr);
  const ossl::BioPtr out(BIO_new(BIO_s_mem()));
  if (CMS_verify(cms.get(), nullptr, roots, content.get(), out.get(), CMS_BINARY) != 1) return LastError();
  if (detached) return {};
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(out.get(), &bytes);
  return Bytes(bytes, static_cast<size_t>(size)) == data ? std::string() : "the signed content differs";
}

std::string VerifyHash(X509* cert, const Bytes& provider_signature, const Bytes& digest) {
  const ossl::PKeyPtr key(X509_get_pubkey(cert));
  const ossl::PKeyCtxPtr ctx(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
  const Bytes standard(provider_signature.rbegin(), provider_signature.rend());
  const bool good = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                    EVP_PKEY_verify(ctx.get(), ossl::Data(standard), standard.size(), ossl::Data(digest),
                                    digest.size()) == 1;
  return good ? std::string() : "the hash signature does not hold: " + LastError();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: bench_soak_verify CA.pem [NAME=CERT.pem ...]\n";
    return 2;
  }
  if (!ossl::EnsureGostEngine()) {
    std::cerr << "the gost engine is missing\n";
    return 1;
  }
  const ossl::X509StorePtr roots(X509_STORE_new());
  ossl::X509Ptr ca = ReadPem(argv[1]);
  if (!ca || X509_STORE_add_cert(roots.get(), ca.get()) != 1) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 1;
  }
  std::map<std::string, ossl::X509Ptr> certs;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    ossl::X509Ptr cert = eq == std::string::npos ? nullptr : ReadPem(arg.substr(eq + 1));
    if (!cert) {
      std::cerr << "cannot read " << arg << "\n";
      return 1;
    }
    certs[arg.substr(0, eq)] = std::move(cert);
  }

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream fields(line);
    std::string tag, kind, signature, data;
    fields >> tag >> kind >> signature >> data;
    const Bytes sig = zuntar::Base64Decode(signature), bytes = zuntar::Base64Decode(data);
    std::string failure;
    if (kind == "detached" || kind == "attached") {
      failure = VerifyCms(roots.get(), sig, bytes, kind == "detached");
    } else if (kind.rfind("hash:", 0) == 0 && certs.count(kind.substr(5)) != 0) {
      failure = VerifyHash(certs[kind.substr(5)].get(), sig, bytes);
    } else {
      failure = "unknown kind " + kind;
    }
    std::cout << tag << (failure.empty() ? " ok" : " fail " + failure) << std::endl;
  }
  return 0;
}
