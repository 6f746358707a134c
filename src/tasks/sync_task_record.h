// The record of a synchronous ("_SYNC") task, written on a thread of its
// own while the task runs on the caller's thread and while its result is
// answered: the disk writes the record while a processor works. The row is
// stored with status 1 and held (TDM::SaveTask, TDM::HoldTask), and the
// outcome stored with status 2 or 3 at the end. A result that is the input
// with bytes around it (an attached signature) is written up to the input's
// end before it exists.
//
// The TDM is the thread's from the constructor until Finish returns or the
// record is destroyed: the caller must not use it meanwhile. Once the task
// is stored, a failing database is logged and the record given up: its row
// is let go at status 1, and TDM::CloseInterruptedTasks closes it at the
// next start.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"
#include "tasks/crypto_task.h"

namespace zuntar {

class TDM;

class SyncTaskRecord {
 public:
  // Starts storing `task`, which must outlive the record. Its input
  // (task.InData) is read by the thread until ReleaseInput returns, or, when
  // a head came first, until Finish: it must not change meanwhile.
  SyncTaskRecord(TDM& dm, const TCryptoTask& task);
  // A record without an outcome is given up where it stands; waits for the
  // thread.
  ~SyncTaskRecord();
  SyncTaskRecord(const SyncTaskRecord&) = delete;
  SyncTaskRecord& operator=(const SyncTaskRecord&) = delete;

  // Waits until the task's id is known to be free or the task's own, or
  // until the task is stored (its row held, or the record given up). False
  // when the task could not be stored: Finish throws why.
  bool Accepted() EXCLUDES(mu_);
  bool Stored() EXCLUDES(mu_);

  // The result will be `head`, then the input, then bytes still to come:
  // the thread writes that much of it once the row is held. Only a head
  // given before ReleaseInput counts, and only the first.
  void ResultBegins(const std::string& head) EXCLUDES(mu_);
  // Returns once the task is stored and the thread is done with the input
  // (it wrote the start of the result if a head came first): it only waits
  // for the outcome then, and the database is at rest. False when the task
  // could not be stored.
  bool ReleaseInput() EXCLUDES(mu_);

  // Hands the outcome to store: `status` (2 or 3) and OUT_DATA as pieces
  // that follow one another, which must stay as they are until Finish
  // returns. Returns at once.
  void Store(uint8_t status, std::vector<std::string_view> out_data) EXCLUDES(mu_);
  // Waits for the thread: the record is written, or given up and logged. A
  // failure to store the task leaves here, as the task's failure.
  void Finish() EXCLUDES(mu_);

 private:
  void Run() EXCLUDES(mu_);
  void Write() EXCLUDES(mu_);
  // After the row is held: the head to write the result's start with, or
  // nothing when the input was released first.
  std::optional<std::string> NextStep() EXCLUDES(mu_);
  void MarkStored() EXCLUDES(mu_);
  void MarkInputRead() EXCLUDES(mu_);
  // The outcome's pieces, or nothing when the record is given up.
  std::optional<std::vector<std::string_view>> AwaitOutcome(uint8_t& status) EXCLUDES(mu_);

  TDM& dm_;
  const TCryptoTask fields_;  // the task without its input
  const std::string_view input_;

  Mutex mu_;
  CondVar changed_;
  bool accepted_ GUARDED_BY(mu_) = false;
  bool stored_ GUARDED_BY(mu_) = false;
  bool input_read_ GUARDED_BY(mu_) = false;  // the thread reads the input no more
  bool input_released_ GUARDED_BY(mu_) = false;
  std::optional<std::string> head_ GUARDED_BY(mu_);
  std::optional<std::vector<std::string_view>> out_data_ GUARDED_BY(mu_);
  uint8_t status_ GUARDED_BY(mu_) = kTaskStatusError;
  bool given_up_ GUARDED_BY(mu_) = false;
  std::exception_ptr failure_ GUARDED_BY(mu_);
  std::jthread thread_;  // last: it starts once everything above is made
};

}  // namespace zuntar
