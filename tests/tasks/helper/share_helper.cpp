// Second process for the shared-database test: opens the database given as
// the first argument while the test keeps its own connection, checks that
// the task named by the second argument is visible, stores a task named by
// the third, and exits with 42 when all of that worked.
#include <cstdio>
#include <exception>

#include "core/process_values.h"
#include "core/settings.h"
#include "tasks/firebird_root.h"
#include "tasks/task_dm.h"

int main(int argc, char** argv) {
  using namespace zuntar;
  if (argc != 4) return 2;
  try {
    Settings settings = DefaultSettings("/tmp/");
    settings.DBPATH = argv[1];
    PrepareFirebirdClient();
    auto dm = CreateTaskDM(settings);
    std::string text;
    if (dm->GetTaskStatus(argv[2], text) != kTaskStatusNew) return 3;
    TCryptoTask task;
    task.Id = argv[3];
    task.InData = "from the helper";
    dm->SaveTask(task, kTaskStatusNew);
    dm->CommitAll();
    return 42;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
