// Cryptographic messages of this layer against OpenSSL's CMS in the same
// run: attached and detached signing, and decryption, of 1 MiB and 100 MiB.
// Ours stream in 16384-byte chunks through the provider; OpenSSL's work on
// the buffer with the key in hand (its in-process cost, the anchor).
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/cms.h>

#include <map>

#include "bench_signer.h"
#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/crypt_msg_simple.h"

namespace zuntar {
namespace {

constexpr size_t kChunk = 16384;

struct Fixture {
  Fixture() : signer("msg-bench"), key(signer.key.get()), cert(signer.cert) {}

  const Bytes& Data(size_t size) {
    Bytes& d = data[size];
    if (d.size() != size) d = bench::PatternData(size);
    return d;
  }

  const Bytes& Enveloped(size_t size) {
    Bytes& e = enveloped[size];
    if (e.empty()) {
      CRYPT_ENCRYPT_MESSAGE_PARA para;
      para.ContentEncryptionAlgorithm.pszObjId = szOID_CP_GOST_28147;
      CryptEncryptMessage(para, {cert}, Data(size), &e);
    }
    return e;
  }

  bench::BenchSigner signer;
  EVP_PKEY* key;
  PCCERT_CONTEXT cert;
  std::map<size_t, Bytes> data, enveloped;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void Feed(const HCRYPTMSG& msg, const Bytes& data) {
  for (size_t pos = 0;; pos += kChunk) {
    const size_t n = std::min(kChunk, data.size() - pos);
    CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(data.data() + pos), static_cast<DWORD>(n), n < kChunk);
    if (n < kChunk) return;
  }
}

void BM_OursSign(benchmark::State& state, bool detached) {
  Fixture& f = Shared();
  const Bytes& data = f.Data(static_cast<size_t>(state.range(0)));
  CMSG_SIGNER_ENCODE_INFO signer;
  SignerForCertificate(f.cert, "1.2.643.7.1.1.3.2", &signer);
  CMSG_SIGNED_ENCODE_INFO info;
  info.rgSigners = {signer};
  info.rgCertEncoded = {f.cert->Encoded()};
  size_t out = 0;
  CMSG_STREAM_INFO stream;
  stream.cbContent = static_cast<DWORD>(data.size());
  stream.pfnStreamOutput = [&](const BYTE*, DWORD n, bool) {
    out += n;
    return true;
  };
  for (auto _ : state) {
    HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, detached ? CMSG_DETACHED_FLAG : 0,
                                         CMSG_SIGNED, info, nullptr, &stream);
    Feed(msg, data);
  }
  benchmark::DoNotOptimize(out);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OpensslSign(benchmark::State& state, bool detached) {
  Fixture& f = Shared();
  const Bytes& data = f.Data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    ossl::BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    ossl::CmsPtr cms(CMS_sign(f.cert->Certificate(), f.key, nullptr, in.get(),
                        CMS_BINARY | CMS_NOSMIMECAP | (detached ? CMS_DETACHED : 0)));
    const Bytes der = ossl::ToDer(i2d_CMS_ContentInfo, cms.get());
    benchmark::DoNotOptimize(der.size());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OursDecrypt(benchmark::State& state) {
  Fixture& f = Shared();
  const Bytes& enveloped = f.Enveloped(static_cast<size_t>(state.range(0)));
  CMSG_CTRL_DECRYPT_PARA para;
  bool caller_free = false;
  CryptAcquireCertificatePrivateKey(f.cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &para.hCryptProv, &para.dwKeySpec,
                                    &caller_free);
  size_t out = 0;
  CMSG_STREAM_INFO stream;
  stream.pfnStreamOutput = [&](const BYTE*, DWORD n, bool) {
    out += n;
    return true;
  };
  for (auto _ : state) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream);
    bool started = false;
    for (size_t pos = 0;; pos += kChunk) {
      const size_t n = std::min(kChunk, enveloped.size() - pos);
      CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(enveloped.data() + pos), static_cast<DWORD>(n), n < kChunk);
      CRYPT_ALGORITHM_IDENTIFIER alg;
      if (!started && CryptMsgGetParam(msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, &alg))
        started = CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, para);
      if (n < kChunk) break;
    }
    if (!started) state.SkipWithError("decryption did not start");
  }
  benchmark::DoNotOptimize(out);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OpensslDecrypt(benchmark::State& state) {
  Fixture& f = Shared();
  const Bytes& enveloped = f.Enveloped(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    const unsigned char* p = ossl::Data(enveloped);
    ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(enveloped.size())));
    ossl::BioPtr out(BIO_new(BIO_s_mem()));
    if (CMS_decrypt(cms.get(), f.key, f.cert->Certificate(), nullptr, out.get(), CMS_BINARY) != 1)
      state.SkipWithError("openssl could not decrypt");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

constexpr int64_t kMiB = 1 << 20;

BENCHMARK_CAPTURE(BM_OursSign, attached, false)->Arg(kMiB)->Arg(100 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpensslSign, attached, false)->Arg(kMiB)->Arg(100 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OursSign, detached, true)->Arg(kMiB)->Arg(100 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpensslSign, detached, true)->Arg(kMiB)->Arg(100 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursDecrypt)->Arg(kMiB)->Arg(100 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDecrypt)->Arg(kMiB)->Arg(100 * kMiB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zuntar

BENCHMARK_MAIN();
