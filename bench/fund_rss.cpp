// Peak memory of decrypting a response of the fund's services:
//   bench_fund_rss [MIB]   (default 50)
// The response is made in a child process; another child reads it into
// memory (the state a task is in when it runs), notes its peak resident set,
// decrypts, and notes the peak again. Printed in MiB, with the ratio of the
// peak to the response's size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "crypto/fund_exchange.h"
#include "fund_response_maker.h"

namespace zuntar {
namespace {

double PeakMiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

bool InChild(const std::function<bool()>& body) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const bool ok = body();
    std::fflush(stdout);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace
}  // namespace zuntar

int main(int argc, char** argv) {
  using namespace zuntar;
  const size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50;
  bench::FundBenchHolder holder;
  if (!InChild([&] { return holder.MakeResponse(mib << 20) != 0; })) {
    std::fprintf(stderr, "could not make the response\n");
    return 1;
  }
  const bool ok = InChild([&] {
    const Bytes response = bench::ReadWholeFile(holder.Path("response.xml"));
    const double response_mib = static_cast<double>(response.size()) / (1 << 20);
    const double before = PeakMiB();
    const auto start = std::chrono::steady_clock::now();
    const Bytes plain = DecryptFundResponse(response, holder.cert->Encoded());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double peak = PeakMiB();
    std::printf("response %.1f MiB, payload %.1f MiB, %.2f s\n", response_mib,
                static_cast<double>(plain.size()) / (1 << 20), seconds);
    std::printf("peak RSS with the response read: %.1f MiB\n", before);
    std::printf("peak RSS after decrypting:       %.1f MiB = %.2f x the response (%.2f x above the response read)\n",
                peak, peak / response_mib, (peak - before) / response_mib);
    return !plain.empty();
  });
  return ok ? 0 : 1;
}
