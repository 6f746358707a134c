#include "tasks/ib_statement.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "tasks/ib_blob.h"
#include "tasks/ib_database.h"
#include "tasks/ib_error.h"
#include "tasks/ib_transaction.h"

namespace zuntar {

namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The largest text the ISC API carries in one parameter (sqllen is a short).
constexpr size_t kMaxTextParameter = 32767;

bool IsTextType(short base) { return base == SQL_TEXT || base == SQL_VARYING; }

}  // namespace

// ---- IbField ----

bool IbField::IsNull() const { return zuntar::IsNull(statement_.CurrentColumn(index_)); }

std::string IbField::AsString() const {
  const XSQLVAR& var = statement_.CurrentColumn(index_);
  if (BaseType(var) != SQL_BLOB) return TextOf(var);
  if (zuntar::IsNull(var)) return {};
  ISC_QUAD id;
  std::memcpy(&id, var.sqldata, sizeof id);
  return ReadBlob(statement_.transaction_, id);
}

int64_t IbField::AsInteger() const { return IntegerOf(statement_.CurrentColumn(index_)); }

DateTime IbField::AsDateTime() const { return DateTimeOf(statement_.CurrentColumn(index_)); }

// ---- IbStatement ----

IbStatement::IbStatement(IbDatabase& database, IbTransaction& transaction, std::string sql)
    : database_(database), transaction_(transaction) {
  transaction_.AddStatement(this);
  SetSql(std::move(sql));
}

IbStatement::~IbStatement() {
  Close();
  Unprepare();
  transaction_.RemoveStatement(this);
}

void IbStatement::SetSql(std::string sql) {
  Close();
  Unprepare();
  sql_ = std::move(sql);
  positional_ = ToPositional(sql_);
  values_.clear();
  for (const std::string& name : positional_.names) values_.emplace(name, Value{});
}

IbStatement::Value& IbStatement::ValueOf(std::string_view name) {
  const auto it = values_.find(Upper(name));
  if (it == values_.end()) throw EIBClientError("Parameter " + std::string(name) + " not found");
  return it->second;
}

void IbStatement::SetString(std::string_view name, std::string bytes) { ValueOf(name) = std::move(bytes); }
void IbStatement::SetStringRef(std::string_view name, std::string_view bytes) { ValueOf(name) = bytes; }
void IbStatement::SetBlob(std::string_view name, ISC_QUAD id) { ValueOf(name) = id; }
void IbStatement::SetInteger(std::string_view name, int64_t value) { ValueOf(name) = value; }
void IbStatement::SetDateTime(std::string_view name, DateTime value) { ValueOf(name) = value; }
void IbStatement::SetNull(std::string_view name) { ValueOf(name) = std::monostate{}; }

void IbStatement::Prepare() {
  Unprepare();
  ISC_STATUS_ARRAY status;
  isc_dsql_allocate_statement(status, database_.Handle(), &handle_);
  CheckStatus(status);
  prepared_on_ = database_.ConnectionSerial();
  try {
    isc_dsql_prepare(status, transaction_.Handle(), &handle_, 0, positional_.text.c_str(), IbDatabase::kDialect,
                     out_.get());
    CheckStatus(status);
    if (out_.Count() > out_.Capacity()) {
      out_.Reserve(out_.Count());
      isc_dsql_describe(status, &handle_, SQLDA_VERSION1, out_.get());
      CheckStatus(status);
    }
    out_.AllocateColumnBuffers();

    in_.Reserve(static_cast<short>(std::max<size_t>(positional_.names.size(), 1)));
    isc_dsql_describe_bind(status, &handle_, SQLDA_VERSION1, in_.get());
    CheckStatus(status);
    if (static_cast<size_t>(in_.Count()) != positional_.names.size())
      throw EIBClientError("The statement's parameters do not match its markers");
    described_.clear();
    for (int i = 0; i < in_.Count(); ++i) {
      const XSQLVAR& var = in_.Var(i);
      described_.push_back({var.sqltype, var.sqlsubtype, var.sqlscale, var.sqllen});
    }

    const char item = isc_info_sql_stmt_type;
    char answer[16] = {};
    isc_dsql_sql_info(status, &handle_, 1, &item, sizeof answer, answer);
    CheckStatus(status);
    statement_type_ = 0;
    if (answer[0] == isc_info_sql_stmt_type) {
      const auto length = static_cast<short>(isc_vax_integer(answer + 1, 2));
      statement_type_ = static_cast<int>(isc_vax_integer(answer + 3, length));
    }
  } catch (...) {
    Unprepare();
    throw;
  }
}

void IbStatement::Unprepare() noexcept {
  if (handle_ != 0 && database_.Connected() && prepared_on_ == database_.ConnectionSerial()) {
    ISC_STATUS_ARRAY status;
    isc_dsql_free_statement(status, &handle_, DSQL_drop);
  }
  handle_ = 0;
  cursor_open_ = false;
  has_row_ = false;
}

void IbStatement::BindOne(int marker, const Value& value) {
  XSQLVAR& var = in_.Var(marker);
  const Described& d = described_[static_cast<size_t>(marker)];
  const short base = static_cast<short>(d.type & ~1);
  var.sqlscale = 0;
  var.sqlsubtype = 0;
  var.sqlind = &indicators_[static_cast<size_t>(marker)];
  *var.sqlind = 0;
  if (std::holds_alternative<std::monostate>(value)) {
    var.sqltype = SQL_TEXT | 1;
    var.sqllen = 0;
    var.sqldata = null_data_.data();
    *var.sqlind = -1;
  } else if (std::holds_alternative<std::string>(value) || std::holds_alternative<std::string_view>(value)) {
    const std::string_view text = std::holds_alternative<std::string>(value) ? std::string_view(std::get<std::string>(value))
                                                                               : std::get<std::string_view>(value);
    if (base == SQL_BLOB) {
      BindBlob(marker, WriteBlob(transaction_, text));
      return;
    }
    const size_t limit = IsTextType(base) ? static_cast<size_t>(d.length) : kMaxTextParameter;
    if (text.size() > limit)
      throw EIBClientError("The value of parameter " + positional_.names[static_cast<size_t>(marker)] + " is " +
                           std::to_string(text.size()) + " bytes long; at most " + std::to_string(limit) +
                           " bytes fit");
    var.sqltype = SQL_TEXT | 1;
    if (IsTextType(base)) var.sqlsubtype = d.subtype;  // the column's character set
    var.sqllen = static_cast<short>(text.size());
    var.sqldata = const_cast<char*>(text.data());
  } else if (const auto* blob = std::get_if<ISC_QUAD>(&value)) {
    if (base != SQL_BLOB)
      throw EIBClientError("Parameter " + positional_.names[static_cast<size_t>(marker)] + " is not a blob");
    BindBlob(marker, *blob);
  } else if (const auto* number = std::get_if<int64_t>(&value)) {
    var.sqltype = SQL_INT64 | 1;
    var.sqllen = sizeof(int64_t);
    var.sqldata = reinterpret_cast<char*>(const_cast<int64_t*>(number));
  } else {
    timestamps_[static_cast<size_t>(marker)] = ToTimestamp(std::get<DateTime>(value));
    var.sqltype = SQL_TIMESTAMP | 1;
    var.sqllen = sizeof(ISC_TIMESTAMP);
    var.sqldata = reinterpret_cast<char*>(&timestamps_[static_cast<size_t>(marker)]);
  }
}

void IbStatement::BindBlob(int marker, ISC_QUAD id) {
  XSQLVAR& var = in_.Var(marker);
  blob_ids_[static_cast<size_t>(marker)] = id;
  var.sqltype = SQL_BLOB | 1;
  var.sqlsubtype = described_[static_cast<size_t>(marker)].subtype;
  var.sqllen = sizeof(ISC_QUAD);
  var.sqldata = reinterpret_cast<char*>(&blob_ids_[static_cast<size_t>(marker)]);
}

void IbStatement::BindParameters() {
  const size_t n = positional_.names.size();
  blob_ids_.assign(n, ISC_QUAD{});
  timestamps_.assign(n, ISC_TIMESTAMP{});
  indicators_.assign(n, 0);
  null_data_.assign(1, 0);
  for (size_t i = 0; i < n; ++i) BindOne(static_cast<int>(i), values_.at(positional_.names[i]));
}

void IbStatement::ExecQuery() {
  Close();
  if (!transaction_.InTransaction()) throw EIBClientError("Transaction is not active");
  if (handle_ == 0 || prepared_on_ != database_.ConnectionSerial()) Prepare();
  BindParameters();
  XSQLDA* in = positional_.names.empty() ? nullptr : in_.get();
  ISC_STATUS_ARRAY status;
  isc_dsql_execute(status, transaction_.Handle(), &handle_, IbDatabase::kDialect, in);
  CheckStatus(status);
  cursor_open_ = statement_type_ == isc_info_sql_stmt_select || statement_type_ == isc_info_sql_stmt_select_for_upd;
}

int64_t IbStatement::RowsAffected() {
  if (handle_ == 0) return 0;
  const char item = isc_info_sql_records;
  char answer[64] = {};
  ISC_STATUS_ARRAY status;
  isc_dsql_sql_info(status, &handle_, 1, &item, sizeof answer, answer);
  CheckStatus(status);
  if (answer[0] != isc_info_sql_records) return 0;
  // Counts per kind of statement: req_update_count, req_delete_count, ...
  int64_t rows = 0;
  for (const char* p = answer + 3; p < answer + sizeof answer && *p != isc_info_end;) {
    const char kind = *p++;
    const auto length = static_cast<short>(isc_vax_integer(p, 2));
    p += 2;
    const int64_t count = isc_vax_integer(p, length);
    p += length;
    if (kind == isc_info_req_insert_count || kind == isc_info_req_update_count || kind == isc_info_req_delete_count)
      rows += count;
  }
  return rows;
}

bool IbStatement::Next() {
  has_row_ = false;
  if (!cursor_open_) return false;
  ISC_STATUS_ARRAY status;
  const ISC_STATUS rc = isc_dsql_fetch(status, &handle_, IbDatabase::kDialect, out_.get());
  if (rc == 100) return false;  // end of the rows
  CheckStatus(status);
  has_row_ = true;
  return true;
}

void IbStatement::Close() noexcept {
  if (cursor_open_ && handle_ != 0 && database_.Connected() && prepared_on_ == database_.ConnectionSerial()) {
    ISC_STATUS_ARRAY status;
    isc_dsql_free_statement(status, &handle_, DSQL_close);
  }
  cursor_open_ = false;
  has_row_ = false;
}

void IbStatement::CheckFieldIndex(int index) const {
  if (index < 0 || index >= FieldCount())
    throw EIBClientError("Field index " + std::to_string(index) + " out of range");
}

int IbStatement::FieldCount() const { return handle_ == 0 ? 0 : out_.Count(); }

std::string IbStatement::FieldName(int index) const {
  CheckFieldIndex(index);
  const XSQLVAR& var = out_.Var(index);
  return std::string(var.aliasname, static_cast<size_t>(var.aliasname_length));
}

IbField IbStatement::Field(std::string_view name) {
  for (int i = 0; i < FieldCount(); ++i) {
    const std::string column = FieldName(i);
    if (column.size() == name.size() && strncasecmp(column.data(), name.data(), name.size()) == 0)
      return IbField(*this, i);
  }
  throw EIBClientError("Field " + std::string(name) + " not found");
}

IbField IbStatement::Field(int index) {
  CheckFieldIndex(index);
  return IbField(*this, index);
}

const XSQLVAR& IbStatement::CurrentColumn(int index) {
  if (!has_row_) throw EIBClientError("No current row");
  return out_.Var(index);
}

}  // namespace zuntar
