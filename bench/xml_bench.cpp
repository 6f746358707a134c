// Loading XML documents of 16, 64 and 256 MiB: the time per byte must not
// grow with the size. The anchor is one plain pass over the same bytes (a
// copy and a count of '<'), the least any load has to do.
//
// Shapes:
// - Response: a fund response, a SOAP envelope declared UTF-8 whose payload
//   is Base64 in lines of 76 characters.
// - Comments: short elements, each followed by a comment and a line break;
//   only the first 512000 tags are parsed, but every comment is removed.
// - OpenComments: "<!--" over and over with nothing to close them, which
//   would rescan the rest of the text for each one if removal were naive.
// - TopAttributes: empty tags at the top, each filling the document again
//   with an attribute of a new name, until the tag limit; then plain text.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>

#include "xml/xml_parser.h"

namespace {

constexpr int64_t kMiB = 1 << 20;

std::string Response(size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- response -->\r\n"
      "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
      "<xenc:EncryptedData><ds:KeyInfo><xenc:EncryptedKey><xenc:CipherData><xenc:CipherValue>S0VZ"
      "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedKey></ds:KeyInfo>"
      "<xenc:CipherData><xenc:CipherValue>\r\n";
  const std::string tail =
      "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedData></soapenv:Body></soapenv:Envelope>\r\n";
  std::mt19937 rng(42);
  std::string out = head;
  out.reserve(size + 128);
  while (out.size() + tail.size() + 78 < size) {
    for (int i = 0; i < 76; ++i) out += kAlphabet[rng() % 64];
    out += "\r\n";
  }
  return out + tail;
}

std::string Comments(size_t size) {
  std::string out = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<r>";
  out.reserve(size + 64);
  for (size_t i = 0; out.size() + 64 < size; ++i)
    out += "<i n=\"" + std::to_string(i % 1000) + "\">text</i><!-- a comment -->\r\n";
  return out + "</r>";
}

std::string OpenComments(size_t size) {
  std::string out = "<r>";
  out.reserve(size);
  while (out.size() + 5 < size) out += "<!--x";
  return out + "</r>";
}

std::string TopAttributes(size_t size) {
  std::string out;
  out.reserve(size + 64);
  for (int i = 0; i < zuntar::TkelXMLParser2::kMaxSteps; ++i) out += "<t a" + std::to_string(i) + "='v'/>";
  out += "<t>";
  out.resize(size, 'x');
  return out + "</t>";
}

template <std::string (*Make)(size_t)>
void BM_LoadXML(benchmark::State& state) {
  const std::string text = Make(static_cast<size_t>(state.range(0) * kMiB));
  for (auto _ : state) {
    zuntar::TkelXMLParser2 doc;
    doc.LoadXML(text);
    benchmark::DoNotOptimize(doc.Children().Count());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_Anchor_CopyAndCount(benchmark::State& state) {
  const std::string text = Response(static_cast<size_t>(state.range(0) * kMiB));
  for (auto _ : state) {
    std::string copy = text;
    benchmark::DoNotOptimize(std::count(copy.begin(), copy.end(), '<'));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond); }

BENCHMARK(BM_Anchor_CopyAndCount)->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_LoadXML, Response)->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_LoadXML, Comments)->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_LoadXML, OpenComments)->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_LoadXML, TopAttributes)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
