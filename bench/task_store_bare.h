// The anchor of the task store benchmark: the statements of SaveTask,
// GetTaskStatus and SetTaskResult, with the same transactions and commits,
// written straight against the ISC API without our layer.
#pragma once

#include <string>

namespace bench {

// Switches the database's forced writes on or off (attaching once with
// isc_dpb_force_write).
void SetForcedWrites(const std::string& path, const std::string& user, const std::string& password, bool on);

class BareTaskStore {
 public:
  BareTaskStore(const std::string& path, const std::string& user, const std::string& password);
  ~BareTaskStore();
  BareTaskStore(const BareTaskStore&) = delete;
  BareTaskStore& operator=(const BareTaskStore&) = delete;

  // One task's round: existence check, insert and commit; status read and
  // commit; result update and commit.
  void Round(const std::string& id, const std::string& input, const std::string& result);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace bench
