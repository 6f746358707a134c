// The CryptoAPI-shaped layer against the same operations called directly on
// OpenSSL, in one run: hashing 1 MiB with GOST R 34.11-2012 (256) and the
// raw signature of a 32-byte hash with a GOST R 34.10-2012 (256) key.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/csp/container_import.h"

namespace zuntar {
namespace {

// A private platform tree with the provider registered and one key
// container, made once for the whole run.
struct Fixture {
  Fixture() {
    root = (std::filesystem::temp_directory_path() / ("zuntar-bench-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(root);
    setenv("ZUNTAR_PLATFORM_ROOT", root.c_str(), 1);
    RegisterGostProvider(ZUNTAR_BENCH_CSP_MODULE);
    key = GenerateGostKey(GostKeyKind::k2012_256);
    ImportKeyContainer("\\\\.\\REGISTRY\\bench", key.get(), {}, {}, AT_KEYEXCHANGE);
    CryptAcquireContextA(&verify, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT);
    CryptAcquireContextA(&signer, "\\\\.\\REGISTRY\\bench", nullptr, PROV_GOST_2012_256, 0);
    data.assign(1 << 20, 'x');
  }
  ~Fixture() {
    verify.reset();
    signer.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string root;
  ossl::PKeyPtr key;
  HCRYPTPROV verify, signer;
  Bytes data;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_LayerHash1MiB(benchmark::State& state) {
  Fixture& f = Shared();
  BYTE value[32];
  for (auto _ : state) {
    HCRYPTHASH hash;
    DWORD len = sizeof value;
    if (!CryptCreateHash(f.verify, CALG_GR3411_2012_256, nullptr, 0, &hash) ||
        !CryptHashData(hash, reinterpret_cast<const BYTE*>(f.data.data()), static_cast<DWORD>(f.data.size()), 0) ||
        !CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0)) {
      state.SkipWithError("layer hash failed");
      break;
    }
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.data.size()));
}
BENCHMARK(BM_LayerHash1MiB)->Unit(benchmark::kMillisecond);

void BM_OpensslHash1MiB(benchmark::State& state) {
  Fixture& f = Shared();
  const EVP_MD* md = ossl::DigestByName("md_gost12_256");
  unsigned char value[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    unsigned int len = 0;
    EVP_DigestInit_ex(ctx.get(), md, nullptr);
    EVP_DigestUpdate(ctx.get(), f.data.data(), f.data.size());
    EVP_DigestFinal_ex(ctx.get(), value, &len);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.data.size()));
}
BENCHMARK(BM_OpensslHash1MiB)->Unit(benchmark::kMillisecond);

void BM_LayerSignHash(benchmark::State& state) {
  Fixture& f = Shared();
  const Bytes digest(32, '\x5A');
  BYTE signature[64];
  for (auto _ : state) {
    HCRYPTHASH hash;
    DWORD len = sizeof signature;
    if (!CryptCreateHash(f.signer, CALG_GR3411_2012_256, nullptr, 0, &hash) ||
        !CryptSetHashParam(hash, HP_HASHVAL, digest, 0) ||
        !CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature, &len)) {
      state.SkipWithError("layer signature failed");
      break;
    }
    benchmark::DoNotOptimize(signature);
  }
}
BENCHMARK(BM_LayerSignHash)->Unit(benchmark::kMicrosecond);

void BM_OpensslSignHash(benchmark::State& state) {
  Fixture& f = Shared();
  const Bytes digest(32, '\x5A');
  unsigned char signature[64];
  for (auto _ : state) {
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(f.key.get(), nullptr));
    size_t len = sizeof signature;
    EVP_PKEY_sign_init(ctx.get());
    EVP_PKEY_sign(ctx.get(), signature, &len, ossl::Data(digest), digest.size());
    benchmark::DoNotOptimize(signature);
  }
}
BENCHMARK(BM_OpensslSignHash)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zuntar

BENCHMARK_MAIN();
