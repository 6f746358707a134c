#include "tasks/ib_database.h"

#include "tasks/ib_error.h"

namespace zuntar {

namespace {

void AppendItem(std::string& dpb, char item, const std::string& value) {
  // A DPB item carries at most 255 bytes; longer names cannot be sent.
  if (value.size() > 255) throw EIBClientError("connection parameter longer than 255 bytes");
  dpb += item;
  dpb += static_cast<char>(value.size());
  dpb += value;
}

// A string literal of SQL.
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

}  // namespace

IbDatabase::~IbDatabase() {
  if (handle_ == 0) return;
  ISC_STATUS_ARRAY status;
  isc_detach_database(status, &handle_);
}

void IbDatabase::Open() {
  if (handle_ != 0) return;
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  AppendItem(dpb, isc_dpb_user_name, UserName);
  AppendItem(dpb, isc_dpb_password, Password);
  dpb += static_cast<char>(isc_dpb_sql_dialect);
  dpb += static_cast<char>(4);
  dpb.append("\3\0\0\0", 4);  // little-endian 3
  ISC_STATUS_ARRAY status;
  isc_attach_database(status, 0, DatabaseName.c_str(), &handle_, static_cast<short>(dpb.size()), dpb.data());
  if (status[0] == 1 && status[1] != 0) {
    handle_ = 0;
    throw StatusError(status);
  }
  ++serial_;
}

void IbDatabase::Create() {
  if (handle_ != 0) throw EIBClientError("Database is already open");
  const std::string sql = "CREATE DATABASE " + Quoted(DatabaseName) + " USER " + Quoted(UserName) + " PASSWORD " +
                          Quoted(Password) + " PAGE_SIZE " + std::to_string(kCreatedPageSize) +
                          " DEFAULT CHARACTER SET NONE";
  ISC_STATUS_ARRAY status;
  isc_tr_handle no_transaction = 0;
  isc_dsql_execute_immediate(status, &handle_, &no_transaction, 0, sql.c_str(), kDialect, nullptr);
  if (status[0] == 1 && status[1] != 0) {
    handle_ = 0;
    throw StatusError(status);
  }
  ++serial_;
}

void IbDatabase::Close() {
  if (handle_ == 0) return;
  ISC_STATUS_ARRAY status;
  isc_detach_database(status, &handle_);
  CheckStatus(status);
  handle_ = 0;
}

int64_t IbDatabase::Info(char item) {
  const char items[] = {item, isc_info_end};
  char answer[32] = {};
  ISC_STATUS_ARRAY status;
  isc_database_info(status, &handle_, sizeof items, items, sizeof answer, answer);
  CheckStatus(status);
  if (answer[0] != item) throw EIBClientError("The database does not report item " + std::to_string(item));
  const short length = static_cast<short>(isc_vax_integer(answer + 1, 2));
  return isc_portable_integer(reinterpret_cast<const ISC_UCHAR*>(answer + 3), length);
}

bool IbDatabase::ForcedWrites() { return Info(isc_info_forced_writes) != 0; }

int IbDatabase::PageSize() { return static_cast<int>(Info(isc_info_page_size)); }

}  // namespace zuntar
