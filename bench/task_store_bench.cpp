// The task store's hot path: SaveTask + GetTaskStatus + SetTaskResult with
// their commits, 1 KiB of input and 1 KiB of result per task, on the
// embedded engine with forced writes (each commit reaches the disk). One
// thread, and four threads each with a connection of its own. The anchor is
// the same statements and commits straight on the ISC API (BareTaskStore),
// measured in the same run.
//
// --forced-writes=off runs the same on a database without forced writes:
// the disk then no longer hides what the layer itself costs.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "core/process_values.h"
#include "core/settings.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "task_store_bare.h"
#include "tasks/firebird_root.h"
#include "tasks/task_database.h"
#include "tasks/task_dm.h"

namespace {

std::atomic<int> g_run{0};

// Ids unique over every run of every benchmark in this process.
std::string IdPrefix(const benchmark::State& state) {
  std::string prefix = "r";
  prefix.append(std::to_string(g_run.fetch_add(1))).append("t").append(std::to_string(state.thread_index()));
  return prefix.append("n");
}

// The settings of the benchmark's database, set once before any benchmark runs.
zuntar::Settings g_settings;

const std::string kInput(1024, 'i');
const std::string kResult(1024, 'r');

void BM_TaskStore(benchmark::State& state) {
  auto dm = zuntar::CreateTaskDM(g_settings);
  zuntar::TCryptoTask task;
  task.CertSN = "0123456789ABCDEF";
  task.InData = kInput;
  const std::string prefix = IdPrefix(state);
  std::string text;
  int64_t n = 0;
  for (auto _ : state) {
    task.Id = prefix + std::to_string(n++);
    dm->SaveTask(task, zuntar::kTaskStatusNew);
    dm->GetTaskStatus(task.Id, text);
    dm->SetTaskResult(task.Id, zuntar::kTaskStatusSuccess, kResult);
    dm->CommitAll();
  }
  state.SetItemsProcessed(n);
}

void BM_BareIsc(benchmark::State& state) {
  const zuntar::Settings& s = g_settings;
  bench::BareTaskStore store(s.DBPATH, s.DBUSER, s.DBPASSWORD);
  const std::string prefix = IdPrefix(state);
  int64_t n = 0;
  for (auto _ : state) store.Round(prefix + std::to_string(n++), kInput, kResult);
  state.SetItemsProcessed(n);
}

BENCHMARK(BM_BareIsc)->Threads(1)->Threads(4)->UseRealTime()->MinTime(3);
BENCHMARK(BM_TaskStore)->Threads(1)->Threads(4)->UseRealTime()->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
  // The database lives beside the executable: a temporary folder may be
  // in memory, where forced writes cost nothing.
  std::string dir = zuntar::ExecutableDir() + "task-store-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return 1;
  zuntar::SetStartupValues(zuntar::BasicStartupValues(dir + "/"));
  zuntar::Settings settings = zuntar::DefaultSettings(dir + "/");
  settings.DBPATH = dir + "/tasks.fdb";
  g_settings = settings;
  zuntar::PrepareFirebirdClient();
  bool forced_writes = true;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--forced-writes=off") forced_writes = false;
  int rc = 0;
  try {
    zuntar::CreateTaskDatabase(settings);
    if (!forced_writes) bench::SetForcedWrites(settings.DBPATH, settings.DBUSER, settings.DBPASSWORD, false);
    {
      auto dm = zuntar::CreateTaskDM(settings);
      std::printf("database %s, forced writes %s\n", settings.DBPATH.c_str(), dm->IB.ForcedWrites() ? "on" : "OFF");
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    rc = 1;
  }
  zuntar::DeletePath(dir, zuntar::kFileAttributeDirectory);
  return rc;
}
