// ENUMCERTS over a personal store of 1,000 certificates linked to key
// containers, phase by phase: the store scan (EnumPersonal) of a store as
// it stands and right after a change, reading each certificate's record
// (GetCertInfo), building the entries and the reply, and the whole handler. Anchor, in the same run: reading the store's
// certificate files and nothing else.
//
// `bench_enum_certs --make-store ROOT [COUNT]` only fills the platform tree
// ROOT with the provider and the certificates (bench/enum_certs.sh then
// loads the running plugin with it).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/process_values.h"
#include "core/settings.h"
#include "core/string_list.h"
#include "core/text.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/cert_manager_instance.h"
#include "http/cert_commands.h"
#include "http/cert_list.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/csp/gost_module.h"
#include "platform/date_time.h"
#include "platform/platform_root.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

constexpr int kCertificates = 1000;

// Fills the current platform tree: the provider of the build, a CA, and
// `count` certificates of people with an INN in the user's MY, each linked
// to a container of its own name.
void MakeStore(int count) {
  RegisterGostProvider(ZUNTAR_BENCH_CSP_MODULE);
  const int64_t now = std::time(nullptr);
  ossl::PKeyPtr ca_key = GenerateGostKey(GostKeyKind::k2012_256);
  CertRequest ca;
  ca.subject = {{"2.5.4.6", "RU"}, {"2.5.4.10", "Тестовый УЦ"}, {"2.5.4.3", "Тестовый УЦ"}};
  ca.not_before = now - 86400;
  ca.not_after = now + 10 * 365 * 86400;
  ca.is_ca = true;
  const Bytes ca_der = BuildCertificate(ca, ca_key.get(), {}, ca_key.get());
  ossl::PKeyPtr key = GenerateGostKey(GostKeyKind::k2012_256);
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
  const std::string provider = csp::DefaultProviderName(PROV_GOST_2012_256);
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    CertRequest r;
    r.subject = {{"2.5.4.6", "RU"},
                 {"2.5.4.8", "77 Москва"},
                 {"2.5.4.7", "Москва"},
                 {"2.5.4.10", "ООО \"Ромашка " + n + "\""},
                 {"2.5.4.4", "Иванов"},
                 {"2.5.4.42", "Иван Иванович"},
                 {"1.2.643.3.131.1.1", PadLeft(n, 12, '0')},
                 {"1.2.643.100.4", PadLeft(n, 10, '0')},
                 {"1.2.643.100.1", "1027700132195"},
                 {"1.2.643.100.3", "12345678901"},
                 {"2.5.4.3", "Иванов Иван Иванович " + n}};
    r.not_before = now - 86400;
    r.not_after = now + 365 * 86400;
    r.key_usage = 0xF0;
    r.private_key_usage_period = {{now - 86400, now + 365 * 86400}};
    const PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, BuildCertificate(r, key.get(), ca_der, ca_key.get()));
    const std::string container = "\\\\.\\REGISTRY\\bench-" + n;
    CRYPT_KEY_PROV_INFO info{std::u16string(container.begin(), container.end()),
                             std::u16string(provider.begin(), provider.end()), PROV_GOST_2012_256, 0, AT_KEYEXCHANGE};
    if (cert == nullptr || !CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) ||
        !CertAddCertificateContextToStore(my, cert, CERT_STORE_ADD_ALWAYS, nullptr)) {
      std::cerr << "cannot add certificate " << i << "\n";
      std::exit(1);
    }
  }
  CertCloseStore(my, 0);
}

// What the running plugin shares; the benchmarks are its one user.
PluginContext& Plugin() {
  static PluginContext plugin;
  return plugin;
}

std::vector<std::string> Bodies() {
  TStringList list;
  Plugin().certificate_manager.Get()->EnumPersonal(list);
  return list.Texts();
}

// Anchor: the certificate files of the store, read and nothing more.
void BM_ReadStoreFiles(benchmark::State& state) {
  const std::string folder = UserDir() + "/stores/MY";
  size_t files = 0;
  for (auto _ : state) {
    files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() != ".cer") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      benchmark::DoNotOptimize(der.data());
      ++files;
    }
  }
  state.counters["certs"] = static_cast<double>(files);
}

// The store as it stands: the listing kept from the last scan.
void BM_StoreScan(benchmark::State& state) {
  size_t count = 0;
  for (auto _ : state) count = Bodies().size();
  state.counters["certs"] = static_cast<double>(count);
}

// The first scan after the store changed: every file read.
void BM_StoreScanAfterChange(benchmark::State& state) {
  size_t count = 0;
  for (auto _ : state) {
    TVCertMgrCSP fresh;
    TStringList list;
    fresh.EnumPersonal(list);
    count = list.Count();
  }
  state.counters["certs"] = static_cast<double>(count);
}

void BM_GetCertInfo(benchmark::State& state) {
  const std::vector<std::string> bodies = Bodies();
  VCERT_INFO info;
  for (auto _ : state) {
    for (const std::string& body : bodies) {
      Plugin().certificate_manager.Get()->GetCertInfo(body, kCertListInfoFlags, info);
      benchmark::DoNotOptimize(info.SubjectName.data());
    }
  }
}

// The facts as the listing reads them: from the cache once it is warm.
void BM_CachedCertInfo(benchmark::State& state) {
  const std::vector<std::string> bodies = Bodies();
  CertListCache cache;
  for (auto _ : state) {
    for (const std::string& body : bodies)
      benchmark::DoNotOptimize(cache.Get(*Plugin().certificate_manager.Get(), body).get());
  }
}

void BM_EntriesAndReply(benchmark::State& state) {
  const std::vector<std::string> bodies = Bodies();
  std::vector<std::shared_ptr<const CertListFacts>> facts;
  for (const std::string& body : bodies) {
    VCERT_INFO info;
    GetCertInfo(body, kCertListInfoFlags, info);
    facts.push_back(std::make_shared<const CertListFacts>(CertListFactsOf(info)));
  }
  const CertListRequest request = CertListRequestOf("", true);
  size_t bytes = 0;
  for (auto _ : state) {
    CertListing listing;
    const DateTime now = Now();
    for (const auto& f : facts) AddToListing(request, f, now, listing);
    bytes = CertListReply(listing).size();
  }
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}

// The plugin's commands, as one running plugin has them: the threads of
// the handler benchmark share its caches, warmed by one listing.
const CommandRegistry& Commands() {
  static const CommandRegistry commands = [] {
    CommandRegistry r;
    RegisterCertificateCommands(r);
    return r;
  }();
  return commands;
}

size_t RunEnumCerts() {
  const CommandEntry* entry = Commands().Find("ENUMCERTS", CommandMethod::kGet);
  HttpRequest request;
  request.method = "GET";
  request.peer_ip = "127.0.0.1";
  HttpResponse response;
  std::string buffer;
  CommandContext context{request, response, buffer, Plugin()};
  Commands().HandlerOf(*entry)(context);
  return buffer.size();
}

void BM_EnumCertsHandler(benchmark::State& state) {
  size_t bytes = RunEnumCerts();
  for (auto _ : state) bytes = RunEnumCerts();
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}

BENCHMARK(BM_ReadStoreFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreScanAfterChange)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetCertInfo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CachedCertInfo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EntriesAndReply)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnumCertsHandler)->Unit(benchmark::kMillisecond);
// Four requests at once on their own threads: per reply, wall time.
BENCHMARK(BM_EnumCertsHandler)->Threads(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zuntar

int main(int argc, char** argv) {
  using namespace zuntar;
  if (argc >= 3 && std::string(argv[1]) == "--make-store") {
    setenv("ZUNTAR_PLATFORM_ROOT", argv[2], 1);
    MakeStore(argc >= 4 ? std::atoi(argv[3]) : kCertificates);
    return 0;
  }
  const std::string root = (fs::temp_directory_path() / ("zuntar-enum-bench-" + std::to_string(getpid()))).string();
  fs::create_directories(root);
  setenv("ZUNTAR_PLATFORM_ROOT", root.c_str(), 1);
  SetStartupValues(BasicStartupValues(root + "/"));
  Plugin().settings.Set(DefaultSettings(root + "/"));
  MakeStore(kCertificates);
  // A listing is kept only once the store's folder has settled (its last
  // change further back than any file system's clock step).
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  Plugin().certificate_manager.Create(1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Plugin().certificate_manager.Reset();
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
