// A DSQL statement with :NAME parameters, bound to one database and one
// transaction, prepared once (dialect 3) and executed as often as needed.
//
// Parameter values stay set between executions. Blob columns and blob
// parameters are byte strings. A statement must be destroyed before its
// database and transaction.
#pragma once

#include <ibase.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/date_time.h"
#include "tasks/ib_sqlda.h"
#include "tasks/sql_params.h"

namespace zuntar {

class IbDatabase;
class IbTransaction;
class IbStatement;

// One column of the current row.
class IbField {
 public:
  bool IsNull() const;
  // Text columns as their bytes, blobs read whole, integers as decimal.
  std::string AsString() const;
  int64_t AsInteger() const;
  DateTime AsDateTime() const;

 private:
  friend class IbStatement;
  IbField(IbStatement& statement, int index) : statement_(statement), index_(index) {}
  IbStatement& statement_;
  int index_;
};

class IbStatement {
 public:
  IbStatement(IbDatabase& database, IbTransaction& transaction, std::string sql = {});
  ~IbStatement();
  IbStatement(const IbStatement&) = delete;
  IbStatement& operator=(const IbStatement&) = delete;

  // A new text drops the prepared statement and every parameter value.
  void SetSql(std::string sql);
  const std::string& Sql() const { return sql_; }
  IbTransaction& Transaction() { return transaction_; }

  // Parameter values by name (any case). An unknown name throws
  // EIBClientError. A string bound to a blob is stored unchanged; one bound
  // to a text column longer than the column throws EIBClientError at
  // execution instead of being cut.
  void SetString(std::string_view name, std::string bytes);
  // The same without a copy: the caller keeps `bytes` alive until the next
  // ExecQuery has ended (large blobs).
  void SetStringRef(std::string_view name, std::string_view bytes);
  // A blob already written in the statement's transaction (IbBlobWriter).
  void SetBlob(std::string_view name, ISC_QUAD id);
  void SetInteger(std::string_view name, int64_t value);
  void SetDateTime(std::string_view name, DateTime value);
  void SetNull(std::string_view name);

  // Prepares on first use (or on a new connection), binds and executes in
  // the statement's transaction, which must be active. A select opens its
  // cursor; rows then come with Next().
  void ExecQuery();
  // Rows the last executed insert, update or delete changed.
  int64_t RowsAffected();
  // Moves to the next row; false when there is none.
  bool Next();
  // Closes an open cursor. Never fails: the cursor is gone either way.
  void Close() noexcept;

  int FieldCount() const;
  std::string FieldName(int index) const;
  // A column of the current row by name (any case); throws EIBClientError
  // for an unknown name or when there is no current row.
  IbField Field(std::string_view name);
  IbField Field(int index);

 private:
  friend class IbField;
  using Value = std::variant<std::monostate, std::string, std::string_view, int64_t, DateTime, ISC_QUAD>;
  struct Described {
    short type, subtype, scale, length;
  };

  void Prepare();
  void Unprepare() noexcept;
  void BindParameters();
  void BindOne(int marker, const Value& value);
  void BindBlob(int marker, ISC_QUAD id);
  Value& ValueOf(std::string_view name);
  const XSQLVAR& CurrentColumn(int index);
  void CheckFieldIndex(int index) const;

  IbDatabase& database_;
  IbTransaction& transaction_;
  std::string sql_;
  PositionalSql positional_;
  std::map<std::string, Value> values_;  // upper-case name -> value

  isc_stmt_handle handle_ = 0;
  uint64_t prepared_on_ = 0;  // connection serial of the prepare
  int statement_type_ = 0;
  std::vector<Described> described_;  // parameters as the engine described them
  // Storage the bound XSQLVARs point into during an execution.
  std::vector<ISC_QUAD> blob_ids_;
  std::vector<ISC_TIMESTAMP> timestamps_;
  std::vector<short> indicators_;
  std::vector<char> null_data_;
  SqlArea in_{1};
  SqlArea out_{8};
  bool cursor_open_ = false;
  bool has_row_ = false;
};

}  // namespace zuntar
