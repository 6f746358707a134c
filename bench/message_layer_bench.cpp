// Signing and checking through the crypto message layer against OpenSSL's
// CMS in process, in the same run, at 1 KiB (the cost of one call) and
// 100 MiB (the cost per byte). Both sides make signed attributes (the
// layer's signing time; OpenSSL's defaults without S/MIME capabilities) and
// neither checks the certificate chain.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/cms.h>

#include <map>

#include "bench_signer.h"
#include "crypto/decoded_messages.h"
#include "crypto/encoded_messages.h"

namespace zuntar {
namespace {

struct Fixture {
  Fixture() : signer("message-layer-bench") {}

  const Bytes& Data(size_t size) {
    Bytes& d = data[size];
    if (d.size() != size) d = bench::PatternData(size);
    return d;
  }

  // A signature of the data by the layer, made once.
  const Bytes& Signature(size_t size, bool detached) {
    Bytes& s = signatures[{size, detached}];
    if (s.empty())
      s = TEncodedSignedMessage(static_cast<DWORD>(size), Now(), detached, signer.cert,
                                reinterpret_cast<const BYTE*>(Data(size).data()))
              .Content();
    return s;
  }

  bench::BenchSigner signer;
  std::map<size_t, Bytes> data;
  std::map<std::pair<size_t, bool>, Bytes> signatures;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

const BYTE* Ptr(const Bytes& b) { return reinterpret_cast<const BYTE*>(b.data()); }
DWORD Len(const Bytes& b) { return static_cast<DWORD>(b.size()); }

void BM_LayerSign(benchmark::State& state, bool detached) {
  Fixture& f = Shared();
  const Bytes& data = f.Data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TEncodedSignedMessage message(Len(data), Now(), detached, f.signer.cert, Ptr(data));
    benchmark::DoNotOptimize(message.Content().size());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OpensslSign(benchmark::State& state, bool detached) {
  Fixture& f = Shared();
  const Bytes& data = f.Data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    ossl::BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    ossl::CmsPtr cms(CMS_sign(f.signer.cert->Certificate(), f.signer.key.get(), nullptr, in.get(),
                              CMS_BINARY | CMS_NOSMIMECAP | (detached ? CMS_DETACHED : 0)));
    const Bytes der = ossl::ToDer(i2d_CMS_ContentInfo, cms.get());
    if (der.empty()) state.SkipWithError("openssl could not sign");
    benchmark::DoNotOptimize(der.size());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_LayerVerify(benchmark::State& state, bool detached) {
  Fixture& f = Shared();
  const Bytes& data = f.Data(static_cast<size_t>(state.range(0)));
  const Bytes& signature = f.Signature(data.size(), detached);
  for (auto _ : state) {
    const bool good = detached ? TDecodedDetachedSignature(signature).VerifyDetachedSigner(0, Len(data), Ptr(data))
                               : TDecodedSignedMessage(signature).VerifySigner(0);
    if (!good) state.SkipWithError("the layer found the signature bad");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OpensslVerify(benchmark::State& state, bool detached) {
  Fixture& f = Shared();
  const Bytes& data = f.Data(static_cast<size_t>(state.range(0)));
  const Bytes& signature = f.Signature(data.size(), detached);
  for (auto _ : state) {
    const unsigned char* p = ossl::Data(signature);
    ossl::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(signature.size())));
    ossl::BioPtr content(detached ? BIO_new_mem_buf(data.data(), static_cast<int>(data.size())) : nullptr);
    if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1)
      state.SkipWithError("openssl found the signature bad");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

constexpr int64_t kKiB = 1 << 10;
constexpr int64_t kMiB = 1 << 20;

// Each pair runs ours first, then OpenSSL's, at one size; the large sizes
// run long enough for several iterations.
#define ZUNTAR_PAIR(Ours, Theirs, name, detached, size)                                                     \
  BENCHMARK_CAPTURE(Ours, name, detached)->Arg(size)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime( \
      size > kKiB ? 3.0 : 0.5);                                                                             \
  BENCHMARK_CAPTURE(Theirs, name, detached)->Arg(size)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime( \
      size > kKiB ? 3.0 : 0.5)

ZUNTAR_PAIR(BM_LayerSign, BM_OpensslSign, attached, false, kKiB);
ZUNTAR_PAIR(BM_LayerSign, BM_OpensslSign, detached, true, kKiB);
ZUNTAR_PAIR(BM_LayerVerify, BM_OpensslVerify, attached, false, kKiB);
ZUNTAR_PAIR(BM_LayerVerify, BM_OpensslVerify, detached, true, kKiB);
ZUNTAR_PAIR(BM_LayerSign, BM_OpensslSign, attached, false, 100 * kMiB);
ZUNTAR_PAIR(BM_LayerSign, BM_OpensslSign, detached, true, 100 * kMiB);
ZUNTAR_PAIR(BM_LayerVerify, BM_OpensslVerify, attached, false, 100 * kMiB);
ZUNTAR_PAIR(BM_LayerVerify, BM_OpensslVerify, detached, true, 100 * kMiB);

}  // namespace
}  // namespace zuntar

BENCHMARK_MAIN();
