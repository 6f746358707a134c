#include "tasks/ib_transaction.h"

#include <algorithm>

#include "tasks/ib_database.h"
#include "tasks/ib_error.h"
#include "tasks/ib_statement.h"

namespace zuntar {

namespace {

struct TpbName {
  std::string_view name;
  char code;
};

constexpr TpbName kTpbNames[] = {
    {"consistency", isc_tpb_consistency},       {"concurrency", isc_tpb_concurrency},
    {"read_committed", isc_tpb_read_committed}, {"rec_version", isc_tpb_rec_version},
    {"no_rec_version", isc_tpb_no_rec_version}, {"wait", isc_tpb_wait},
    {"nowait", isc_tpb_nowait},                 {"read", isc_tpb_read},
    {"write", isc_tpb_write},
};

std::string BuildTpb(std::initializer_list<std::string_view> params) {
  std::string tpb(1, static_cast<char>(isc_tpb_version3));
  for (std::string_view param : params) {
    const auto it = std::find_if(std::begin(kTpbNames), std::end(kTpbNames),
                                 [&](const TpbName& n) { return n.name == param; });
    if (it == std::end(kTpbNames)) throw EIBClientError("unknown transaction parameter " + std::string(param));
    tpb += it->code;
  }
  return tpb;
}

}  // namespace

IbTransaction::IbTransaction(IbDatabase& database, std::initializer_list<std::string_view> params)
    : database_(database), tpb_(BuildTpb(params)) {}

IbTransaction::~IbTransaction() {
  if (handle_ == 0) return;
  ISC_STATUS_ARRAY status;
  isc_rollback_transaction(status, &handle_);
}

void IbTransaction::StartTransaction() {
  if (handle_ != 0) return;
  ISC_STATUS_ARRAY status;
  isc_start_transaction(status, &handle_, 1, database_.Handle(), static_cast<unsigned short>(tpb_.size()),
                        tpb_.data());
  if (status[0] == 1 && status[1] != 0) {
    handle_ = 0;
    throw StatusError(status);
  }
}

void IbTransaction::Commit() {
  if (handle_ == 0) throw EIBClientError("Transaction is not active");
  CloseCursors();
  ISC_STATUS_ARRAY status;
  isc_commit_transaction(status, &handle_);
  CheckStatus(status);  // a failed commit leaves the transaction active
  handle_ = 0;
}

void IbTransaction::Rollback() {
  if (handle_ == 0) throw EIBClientError("Transaction is not active");
  CloseCursors();
  ISC_STATUS_ARRAY status;
  isc_rollback_transaction(status, &handle_);
  CheckStatus(status);
  handle_ = 0;
}

void IbTransaction::AddStatement(IbStatement* statement) { statements_.push_back(statement); }

void IbTransaction::RemoveStatement(IbStatement* statement) {
  statements_.erase(std::remove(statements_.begin(), statements_.end(), statement), statements_.end());
}

void IbTransaction::CloseCursors() {
  for (IbStatement* statement : statements_) statement->Close();
}

}  // namespace zuntar
