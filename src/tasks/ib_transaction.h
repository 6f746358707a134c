// A transaction on one IbDatabase, started with a parameter list.
//
// Statements on the transaction register themselves, so a commit or a
// rollback can close their cursors first: the engine closes them anyway,
// and a statement must not try again afterwards.
#pragma once

#include <ibase.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace zuntar {

class IbDatabase;
class IbStatement;

class IbTransaction {
 public:
  // `params` are parameter names such as "read_committed", "rec_version",
  // "nowait", "read"; an unknown name throws EIBClientError.
  IbTransaction(IbDatabase& database, std::initializer_list<std::string_view> params);
  // Rolls back a transaction still active.
  ~IbTransaction();
  IbTransaction(const IbTransaction&) = delete;
  IbTransaction& operator=(const IbTransaction&) = delete;

  // Throws EIBInterBaseError; on a database that is not open this is the
  // client library's "invalid database handle".
  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const { return handle_ != 0; }

  IbDatabase& Database() { return database_; }
  isc_tr_handle* Handle() { return &handle_; }

  void AddStatement(IbStatement* statement);
  void RemoveStatement(IbStatement* statement);

 private:
  void CloseCursors();

  IbDatabase& database_;
  std::string tpb_;
  isc_tr_handle handle_ = 0;
  std::vector<IbStatement*> statements_;
};

}  // namespace zuntar
