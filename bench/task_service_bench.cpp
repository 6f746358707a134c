// The signing service under load, against the running program: a private
// copy of ZuntarMervoPlugin with a test PKI and an embedded database.
//
//   bench_task_service latency [rounds]  queued GETSIGN of 1 KiB until the
//       first GETRESULT 200 (polled every 1 ms), at concurrency 1 and 8,
//       beside GETSIGN_SYNC of the same data in the same run
//   bench_task_service large [MiB] [rounds]  one GETSIGN_ATT_SYNC whose body
//       is that many MiB of Base64 (200 by default): time and the program's
//       peak memory, the best of `rounds` (3), beside `openssl cms -sign` of
//       the same payload, and beside the task's record alone: the same two
//       blobs written straight through the ISC API into a database of the
//       program's own making
//
// LOG_LEVEL follows the environment variable of that name (default 3, the
// plugin's own default); EXTRA_CONFIG adds configuration lines
// (EXTRA_CONFIG=$'POOLSIZE=8').
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/base64.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "crypto/cert_identity.h"
#include "support/http_client.h"
#include "support/ports.h"
#include "task_store_bare.h"
#include "tasks/firebird_root.h"
#include "tasks/task_database.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using zuntar::Bytes;
using zuntar::test::HttpReply;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int Shell(const std::string& command) { return std::system(command.c_str()); }

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A private installation: the program, its platform tree with a test PKI,
// and its database.
class Installation {
 public:
  Installation() {
    char name[] = "/tmp/zuntar-bench-XXXXXX";
    dir_ = ::mkdtemp(name);
    fs::create_directories(dir_ + "/plugin");
    fs::copy_file(ZUNTAR_BENCH_PLUGIN_EXE, exe());
    const std::string env = "ZUNTAR_PLATFORM_ROOT=" + root() + " ";
    if (Shell(env + ZUNTAR_BENCH_CERTTOOL + " register-provider --module " + ZUNTAR_BENCH_CSP_MODULE + " >/dev/null") !=
            0 ||
        Shell(env + ZUNTAR_BENCH_CERTTOOL + " make-test-pki --out " + files() + " >/dev/null") != 0 ||
        Shell("openssl x509 -inform DER -in " + files() + "/ivanov.cer -out " + files() + "/ivanov.pem") != 0)
      throw std::runtime_error("cannot make the test PKI");
    serial_ = zuntar::CertSerialHex(zuntar::DecodeCertificate(ReadWhole(files() + "/ivanov.cer")));
  }
  ~Installation() {
    Stop();
    fs::remove_all(dir_);
  }

  std::string root() const { return dir_ + "/root"; }
  std::string files() const { return dir_ + "/files"; }
  std::string exe() const { return dir_ + "/plugin/ZuntarMervoPlugin"; }
  const std::string& serial() const { return serial_; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  void Start(int log_level) {
    Stop();
    port_ = zuntar::test::FreePort();
    const char* extra = std::getenv("EXTRA_CONFIG");  // more KEY=VALUE lines, "\n"-separated
    std::string lines;
    for (const char* c = extra != nullptr ? extra : ""; *c != '\0'; ++c) {
      if (*c == '\n') lines += '\r';
      lines += *c;
    }
    std::ofstream(dir_ + "/plugin/ZuntarMervoPlugin.ini")
        << "HTTPPORT=" << port_ << "\r\nLOG_LEVEL=" << log_level << "\r\n" << lines << "\r\n";
    if (Shell("ZUNTAR_PLATFORM_ROOT=" + root() + " LC_ALL=ru_RU.UTF-8 " + exe() + " -CREATEDB >/dev/null") != 0)
      throw std::runtime_error("cannot create the database");
    std::fflush(stdout);  // the child must not print what this process has not yet
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setenv("ZUNTAR_PLATFORM_ROOT", root().c_str(), 1);
      ::setenv("LC_ALL", "ru_RU.UTF-8", 1);
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      ::execl(exe().c_str(), exe().c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      const int fd = zuntar::test::Connect(port_);
      if (fd >= 0) {
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("the plugin does not listen");
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
  }

  // A line of /proc/<pid>/status in kB ("VmHWM", "VmRSS").
  long StatusKb(const std::string& key) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    return -1;
  }

 private:
  std::string dir_;
  std::string serial_;
  int port_ = 0;
  pid_t pid_ = 0;
};

HttpReply Post(int port, const std::string& target, const std::string& body, int timeout_ms = 10000) {
  const std::string head = "POST " + target + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n";
  const int fd = zuntar::test::Connect(port);
  if (fd < 0) throw std::runtime_error("cannot connect");
  zuntar::test::SendAll(fd, head);
  zuntar::test::SendAll(fd, body);  // the body is never copied into one request text
  const std::string raw = zuntar::test::ReadAll(fd, timeout_ms);
  ::close(fd);
  return zuntar::test::ParseReply(raw);
}

// The Data of an envelope line `"Data": "..."`.
std::string DataOf(const std::string& body) {
  const size_t at = body.find("\"Data\": \"");
  if (at == std::string::npos) return {};
  const size_t start = at + 9;
  return body.substr(start, body.find('"', start) - start);
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void Report(const char* what, int concurrency, const std::vector<double>& ms) {
  std::printf("%-28s c=%d n=%4zu  p50 %7.2f ms  p90 %7.2f ms  p99 %7.2f ms\n", what, concurrency, ms.size(),
              Percentile(ms, 0.5), Percentile(ms, 0.9), Percentile(ms, 0.99));
}

// One queued task: POST, then GETRESULT every millisecond until 200.
double QueuedOnce(int port, const std::string& target, const std::string& body) {
  const auto start = Clock::now();
  const std::string id = DataOf(Post(port, target, body).body);
  for (;;) {
    const HttpReply r = zuntar::test::Request(port, "GET", "/MERVO/GETRESULT?Id=" + id);
    if (r.status == 200) break;
    if (r.status != 201) throw std::runtime_error("GETRESULT: " + r.body);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return Ms(Clock::now() - start);
}

double SyncOnce(int port, const std::string& target, const std::string& body) {
  const auto start = Clock::now();
  const HttpReply r = Post(port, target, body);
  if (DataOf(r.body).empty()) throw std::runtime_error("GETSIGN_SYNC: " + r.body);
  return Ms(Clock::now() - start);
}

// `rounds` requests on each of `concurrency` threads.
std::vector<double> Run(int concurrency, int rounds, const std::function<double()>& once) {
  std::vector<std::vector<double>> per_thread(static_cast<size_t>(concurrency));
  std::vector<std::thread> threads;
  for (int t = 0; t < concurrency; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) per_thread[static_cast<size_t>(t)].push_back(once());
    });
  for (std::thread& t : threads) t.join();
  std::vector<double> all;
  for (const auto& v : per_thread) all.insert(all.end(), v.begin(), v.end());
  return all;
}

int Latency(Installation& inst, int rounds, int log_level) {
  inst.Start(log_level);
  std::string data(1024, '\0');
  std::mt19937 rng(1);
  for (char& c : data) c = static_cast<char>(rng());
  const std::string body = zuntar::Base64Encode(data);
  const std::string queued = "/MERVO/GETSIGN?CertSN=" + inst.serial();
  const std::string sync = "/MERVO/GETSIGN_SYNC?CertSN=" + inst.serial();
  const int port = inst.port();
  Run(1, 20, [&] { return QueuedOnce(port, queued, body) + SyncOnce(port, sync, body); });  // warm-up
  for (int concurrency : {1, 8}) {
    const int n = concurrency == 1 ? rounds : std::max(1, rounds / 4);
    std::vector<double> q, s;
    // Alternating batches, so both see the same machine.
    for (int batch = 0; batch < 4; ++batch) {
      const std::vector<double> sb = Run(concurrency, n / 4, [&] { return SyncOnce(port, sync, body); });
      const std::vector<double> qb = Run(concurrency, n / 4, [&] { return QueuedOnce(port, queued, body); });
      s.insert(s.end(), sb.begin(), sb.end());
      q.insert(q.end(), qb.begin(), qb.end());
    }
    Report("GETSIGN_SYNC (anchor)", concurrency, s);
    Report("GETSIGN + GETRESULT 200", concurrency, q);
    std::printf("%-28s c=%d        p50 %+7.2f ms\n", "the queue adds", concurrency,
                Percentile(q, 0.5) - Percentile(s, 0.5));
  }
  inst.Stop();
  return 0;
}

// The least the task's record costs: its row with `payload` as IN_DATA,
// then OUT_DATA of the attached signature's size, with the statements and
// commits of the program's store, written straight through the ISC API
// into a fresh database of the program's own making. Best of `rounds`, ms.
double RecordAlone(Installation& inst, const std::string& payload, int rounds) {
  const std::string dir = inst.files() + "/";
  zuntar::SetStartupValues(zuntar::BasicStartupValues(dir));
  zuntar::Settings settings = zuntar::DefaultSettings(dir);
  zuntar::PrepareFirebirdClient();
  const std::string result = payload + std::string(2048, '\x5a');  // the signature's head and tail around it
  double best = 1e9;
  for (int i = 0; i < rounds; ++i) {
    settings.DBPATH = dir + "record" + std::to_string(i) + ".fdb";
    zuntar::CreateTaskDatabase(settings);
    bench::BareTaskStore store(settings.DBPATH, settings.DBUSER, settings.DBPASSWORD);
    const auto start = Clock::now();
    store.Round("record", payload, result);
    best = std::min(best, Ms(Clock::now() - start));
    fs::remove(settings.DBPATH);
  }
  return best;
}

int Large(Installation& inst, size_t body_mib, int rounds, int log_level) {
  // The payload whose Base64 text is the body.
  const size_t payload_size = body_mib * 1024 * 1024 / 4 * 3;
  std::string payload(payload_size, '\0');
  std::mt19937_64 rng(2);
  for (size_t i = 0; i + 8 <= payload.size(); i += 8) {
    const uint64_t v = rng();
    std::memcpy(&payload[i], &v, 8);
  }
  const std::string payload_file = inst.files() + "/payload.bin";
  std::ofstream(payload_file, std::ios::binary).write(payload.data(), static_cast<std::streamsize>(payload.size()));
  std::string body = zuntar::Base64Encode(payload);
  const double floor = RecordAlone(inst, payload, rounds);
  payload.clear();
  payload.shrink_to_fit();

  // The anchor: openssl signs the same payload, attached, from the file.
  const std::string openssl = "openssl cms -engine gost -sign -binary -nodetach -outform DER -in " + payload_file +
                              " -signer " + inst.files() + "/ivanov.pem -inkey " + inst.files() +
                              "/ivanov.key.pem -out " + inst.files() + "/openssl.p7s 2>/dev/null";
  double anchor = 1e9;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (Shell(openssl) != 0) throw std::runtime_error("openssl cms -sign failed");
    anchor = std::min(anchor, Ms(Clock::now() - start));
  }

  double best = 1e9;
  long peak_kb = 0, start_kb = 0;
  for (int i = 0; i < rounds; ++i) {
    inst.Start(log_level);  // a fresh process: its high-water mark is this request's
    start_kb = inst.StatusKb("VmRSS");
    const auto start = Clock::now();
    const HttpReply r = Post(inst.port(), "/MERVO/GETSIGN_ATT_SYNC?CertSN=" + inst.serial(), body, 600000);
    const double ms = Ms(Clock::now() - start);
    peak_kb = std::max(peak_kb, inst.StatusKb("VmHWM"));
    if (r.body.find("\"Status\": true") == std::string::npos)
      throw std::runtime_error("GETSIGN_ATT_SYNC: " + r.body.substr(0, 300));
    best = std::min(best, ms);
    if (i == 0) {
      std::ofstream(inst.files() + "/plugin.p7s", std::ios::binary) << zuntar::Base64Decode(DataOf(r.body));
      const bool good = Shell("openssl cms -engine gost -verify -binary -inform DER -in " + inst.files() +
                              "/plugin.p7s -noverify -out /dev/null 2>/dev/null") == 0;
      std::printf("the plugin's signature %s openssl's check\n", good ? "passes" : "FAILS");
    }
    inst.Stop();
  }
  const double body_mb = static_cast<double>(body.size()) / (1024.0 * 1024.0);
  std::printf("body %.0f MiB (payload %.0f MiB), LOG_LEVEL=%d\n", body_mb, body_mb / 4 * 3, log_level);
  std::printf("openssl cms -sign (anchor) %8.0f ms\n", anchor);
  std::printf("GETSIGN_ATT_SYNC           %8.0f ms  = %.2f x the anchor\n", best, best / anchor);
  std::printf("the record alone (ISC API) %8.0f ms  = %.2f x the anchor\n", floor, floor / anchor);
  std::printf("peak RSS %.0f MiB (at start %.0f MiB) = %.2f x the body\n", static_cast<double>(peak_kb) / 1024,
              static_cast<double>(start_kb) / 1024, static_cast<double>(peak_kb) / 1024 / body_mb);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "latency";
  const char* level_text = std::getenv("LOG_LEVEL");
  const int log_level = level_text != nullptr ? std::atoi(level_text) : 3;
  try {
    Installation inst;
    if (mode == "latency") return Latency(inst, argc > 2 ? std::atoi(argv[2]) : 200, log_level);
    if (mode == "large")
      return Large(inst, argc > 2 ? std::stoul(argv[2]) : 200, argc > 3 ? std::max(1, std::atoi(argv[3])) : 3, log_level);
    std::fprintf(stderr, "usage: %s latency [rounds] | large [MiB] [rounds]\n", argv[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return 1;
}
