// Decrypting a response of the fund's services of 50 MiB through
// DecryptFundResponse (XML, Base64, key agreement and unwrap, GOST 28147-89
// CBC in eight-byte pieces) against `openssl enc -d -gost89-cbc` on the same
// ciphertext, in the same run. A third line decrypts that ciphertext with
// one EVP call in process: the cost of the cipher alone.
#include <benchmark/benchmark.h>

#include "crypto/fund_exchange.h"
#include "fund_response_maker.h"
#include "platform/capi/base/ossl.h"

namespace zuntar {
namespace {

constexpr size_t kResponseSize = 50u << 20;

struct Fixture {
  Fixture() {
    payload_size = holder.MakeResponse(kResponseSize);
    response = bench::ReadWholeFile(holder.Path("response.xml"));
    ciphertext = bench::ReadWholeFile(holder.Path("cipher.bin"));
  }
  bench::FundBenchHolder holder;
  size_t payload_size = 0;
  Bytes response;
  Bytes ciphertext;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void BM_DecryptFundResponse(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state) {
    const Bytes plain = DecryptFundResponse(f.response, f.holder.cert->Encoded());
    if (plain.size() != f.payload_size) state.SkipWithError("wrong payload size");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.response.size()));
  state.counters["response_MiB"] = static_cast<double>(f.response.size()) / (1 << 20);
}

void BM_OpensslEncDecrypt(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state)
    if (!f.holder.OpensslDecrypts()) state.SkipWithError("openssl enc -d failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.response.size()));
}

void BM_EvpDecryptOnce(benchmark::State& state) {
  Fixture& f = Shared();
  ossl::EnsureGostEngine();
  const EVP_CIPHER* cipher = ossl::CipherByName("gost89-cbc");
  const Bytes key = HexToBytes(f.holder.key_hex);
  Bytes out(f.ciphertext.size() + 8, '\0');
  for (auto _ : state) {
    ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    const bool ok = EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>("1.2.643.7.1.2.5.1.1")) > 0 &&
                    EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, ossl::Data(key), ossl::Data(f.holder.iv)) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len,
                                      ossl::Data(f.ciphertext), static_cast<int>(f.ciphertext.size())) == 1;
    if (!ok) state.SkipWithError("EVP decryption failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.response.size()));
}

BENCHMARK(BM_DecryptFundResponse)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK(BM_OpensslEncDecrypt)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK(BM_EvpDecryptOnce)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

}  // namespace
}  // namespace zuntar

BENCHMARK_MAIN();
