// Base64 and the reply envelope against OpenSSL's block coder on the same
// input. The decoder is lenient, so it is measured on clean input and on
// input with a line break every 76 characters (what PEM-style senders do).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "core/base64.h"
#include "http/reply.h"

namespace {

std::string RandomBytes(size_t size) {
  std::mt19937_64 rng(42);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

std::string WithLineBreaks(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i += 76) out.append(text, i, 76).append("\r\n");
  return out;
}

void BM_Base64Encode(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(zuntar::Base64Encode(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslEncodeBlock(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string out(zuntar::Base64EncodedSize(data.size()) + 1, '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(data.data()),
                    static_cast<int>(data.size()));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64Decode(benchmark::State& state) {
  const std::string text = zuntar::Base64Encode(RandomBytes(static_cast<size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(zuntar::Base64Decode(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64DecodeLineBreaks(benchmark::State& state) {
  const std::string text = WithLineBreaks(zuntar::Base64Encode(RandomBytes(static_cast<size_t>(state.range(0)))));
  for (auto _ : state) benchmark::DoNotOptimize(zuntar::Base64Decode(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslDecodeBlock(benchmark::State& state) {
  const std::string text = zuntar::Base64Encode(RandomBytes(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    std::string out(text.size() / 4 * 3, '\0');
    EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_MakeReply(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(zuntar::MakeReply(true, data, {}));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

constexpr int64_t kMiB = 1 << 20;

BENCHMARK(BM_Base64Encode)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslEncodeBlock)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Base64Decode)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Base64DecodeLineBreaks)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslDecodeBlock)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MakeReply)->Arg(16 * kMiB)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
