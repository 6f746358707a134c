#include "task_store_bare.h"

#include <ibase.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tasks/ib_blob.h"

namespace bench {

namespace {

void Check(const ISC_STATUS* status) {
  if (status[0] == 1 && status[1] != 0) {
    char line[512] = "";
    const ISC_STATUS* cursor = status;
    fb_interpret(line, sizeof line, &cursor);
    throw std::runtime_error(line);
  }
}

// A fixed-size XSQLDA on the heap.
struct Sqlda {
  explicit Sqlda(short n) : storage(XSQLDA_LENGTH(n) / sizeof(double) + 1) {
    get()->version = SQLDA_VERSION1;
    get()->sqln = n;
  }
  XSQLDA* get() { return reinterpret_cast<XSQLDA*>(storage.data()); }
  XSQLVAR& operator[](int i) { return get()->sqlvar[i]; }
  std::vector<double> storage;
};

void SetText(XSQLVAR& v, const std::string& s, short* ind) {
  v.sqltype = SQL_TEXT | 1;
  v.sqlsubtype = 0;
  v.sqlscale = 0;
  v.sqllen = static_cast<short>(s.size());
  v.sqldata = const_cast<char*>(s.data());
  v.sqlind = ind;
}

void SetInt(XSQLVAR& v, int64_t* value, short* ind) {
  v.sqltype = SQL_INT64 | 1;
  v.sqlscale = 0;
  v.sqllen = 8;
  v.sqldata = reinterpret_cast<char*>(value);
  v.sqlind = ind;
}

void SetBlob(XSQLVAR& v, ISC_QUAD* id, short* ind) {
  v.sqltype = SQL_BLOB | 1;
  v.sqllen = sizeof(ISC_QUAD);
  v.sqldata = reinterpret_cast<char*>(id);
  v.sqlind = ind;
}

std::string Dpb(const std::string& user, const std::string& password) {
  std::string dpb(1, isc_dpb_version1);
  dpb += static_cast<char>(isc_dpb_user_name);
  dpb += static_cast<char>(user.size());
  dpb += user;
  dpb += static_cast<char>(isc_dpb_password);
  dpb += static_cast<char>(password.size());
  dpb += password;
  return dpb;
}

}  // namespace

void SetForcedWrites(const std::string& path, const std::string& user, const std::string& password, bool on) {
  std::string dpb = Dpb(user, password);
  dpb += static_cast<char>(isc_dpb_force_write);
  dpb += static_cast<char>(1);
  dpb += static_cast<char>(on ? 1 : 0);
  ISC_STATUS_ARRAY st;
  isc_db_handle db = 0;
  isc_attach_database(st, 0, path.c_str(), &db, static_cast<short>(dpb.size()), dpb.data());
  Check(st);
  isc_detach_database(st, &db);
  Check(st);
}

struct BareTaskStore::Impl {
  ISC_STATUS_ARRAY st{};
  isc_db_handle db = 0;
  isc_tr_handle rw = 0, read = 0;
  isc_stmt_handle get = 0, insert = 0, update = 0;
  Sqlda get_in{1}, get_out{3}, insert_in{6}, update_in{3};
  char out_buf[3][16]{};
  short out_ind[3]{}, in_ind[6]{};
  int64_t ttype = 0, status = 0;
  ISC_QUAD blob{};
  std::string cert_sn = "0123456789ABCDEF", str_param;

  void Start(isc_tr_handle* tr, bool read_only) {
    if (*tr != 0) return;
    static const char kRw[] = {isc_tpb_version3, isc_tpb_read_committed, isc_tpb_rec_version, isc_tpb_nowait};
    static const char kRead[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed, isc_tpb_rec_version,
                                 isc_tpb_nowait};
    isc_start_transaction(st, tr, 1, &db, read_only ? sizeof kRead : sizeof kRw, read_only ? kRead : kRw);
    Check(st);
  }
  void Commit(isc_tr_handle* tr) {
    isc_commit_transaction(st, tr);
    Check(st);
  }
  void Prepare(isc_stmt_handle* stmt, const char* sql, Sqlda* in, Sqlda* out, isc_tr_handle* tr) {
    isc_dsql_allocate_statement(st, &db, stmt);
    Check(st);
    isc_dsql_prepare(st, tr, stmt, 0, sql, 3, out ? out->get() : nullptr);
    Check(st);
    isc_dsql_describe_bind(st, stmt, 1, in->get());
    Check(st);
  }
  ISC_QUAD WriteBlob(const std::string& bytes) {
    isc_blob_handle h = 0;
    ISC_QUAD id{};
    isc_create_blob2(st, &db, &rw, &h, &id, 0, nullptr);
    Check(st);
    // In segments of the size the program writes.
    for (size_t offset = 0; offset < bytes.size(); offset += zuntar::kBlobSegment) {
      const size_t n = std::min(zuntar::kBlobSegment, bytes.size() - offset);
      isc_put_segment(st, &h, static_cast<unsigned short>(n), bytes.data() + offset);
      Check(st);
    }
    isc_close_blob(st, &h);
    Check(st);
    return id;
  }
  bool SelectRow(const std::string& id) {
    SetText(get_in[0], id, &in_ind[0]);
    isc_dsql_execute(st, &read, &get, 3, get_in.get());
    Check(st);
    const ISC_STATUS rc = isc_dsql_fetch(st, &get, 3, get_out.get());
    if (rc != 0 && rc != 100) Check(st);
    isc_dsql_free_statement(st, &get, DSQL_close);
    Check(st);
    return rc == 0;
  }
};

BareTaskStore::BareTaskStore(const std::string& path, const std::string& user, const std::string& password)
    : impl_(new Impl) {
  Impl& m = *impl_;
  const std::string dpb = Dpb(user, password);
  isc_attach_database(m.st, 0, path.c_str(), &m.db, static_cast<short>(dpb.size()), dpb.data());
  Check(m.st);
  m.Start(&m.read, true);
  m.Start(&m.rw, false);
  m.Prepare(&m.get, "select STATUS, START_TIME, OUT_DATA from CRYPTO_TASKS where ID=?", &m.get_in, &m.get_out, &m.read);
  for (int i = 0; i < 3; ++i) {
    m.get_out[i].sqldata = m.out_buf[i];
    m.get_out[i].sqlind = &m.out_ind[i];
  }
  m.Prepare(&m.insert,
            "insert into CRYPTO_TASKS (ID,TTYPE,START_TIME,STATUS,CERT_SN,STR_PARAM,IN_DATA )"
            "values (?,?,'NOW',?,?,?,?)",
            &m.insert_in, nullptr, &m.rw);
  m.Prepare(&m.update, "update CRYPTO_TASKS set MODIFY_TIME='NOW',STATUS=?,OUT_DATA=? where ID=?", &m.update_in,
            nullptr, &m.rw);
  m.Commit(&m.rw);
}

BareTaskStore::~BareTaskStore() {
  Impl& m = *impl_;
  for (isc_stmt_handle* s : {&m.get, &m.insert, &m.update}) isc_dsql_free_statement(m.st, s, DSQL_drop);
  if (m.rw) isc_rollback_transaction(m.st, &m.rw);
  if (m.read) isc_rollback_transaction(m.st, &m.read);
  isc_detach_database(m.st, &m.db);
  delete impl_;
}

void BareTaskStore::Round(const std::string& id, const std::string& input, const std::string& result) {
  Impl& m = *impl_;
  // SaveTask
  m.Start(&m.rw, false);
  m.Start(&m.read, true);
  if (m.SelectRow(id)) throw std::runtime_error("ids repeat");
  m.ttype = 0;
  m.status = 0;
  m.blob = m.WriteBlob(input);
  SetText(m.insert_in[0], id, &m.in_ind[0]);
  SetInt(m.insert_in[1], &m.ttype, &m.in_ind[1]);
  SetInt(m.insert_in[2], &m.status, &m.in_ind[2]);
  SetText(m.insert_in[3], m.cert_sn, &m.in_ind[3]);
  SetText(m.insert_in[4], m.str_param, &m.in_ind[4]);
  SetBlob(m.insert_in[5], &m.blob, &m.in_ind[5]);
  isc_dsql_execute(m.st, &m.rw, &m.insert, 3, m.insert_in.get());
  Check(m.st);
  m.Commit(&m.rw);
  // GetTaskStatus
  m.Start(&m.read, true);
  if (!m.SelectRow(id)) throw std::runtime_error("row missing");
  m.Commit(&m.read);
  // SetTaskResult
  m.Start(&m.rw, false);
  m.status = 2;
  m.blob = m.WriteBlob(result);
  SetInt(m.update_in[0], &m.status, &m.in_ind[0]);
  SetBlob(m.update_in[1], &m.blob, &m.in_ind[1]);
  SetText(m.update_in[2], id, &m.in_ind[2]);
  isc_dsql_execute(m.st, &m.rw, &m.update, 3, m.update_in.get());
  Check(m.st);
  m.Commit(&m.rw);
}

}  // namespace bench
