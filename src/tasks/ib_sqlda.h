// XSQLDA, the ISC API's description of a statement's parameters or
// columns, with buffers owned here, and the conversions of its values.
#pragma once

#include <ibase.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/date_time.h"

namespace zuntar {

class SqlArea {
 public:
  explicit SqlArea(short capacity = 1) { Reserve(capacity); }
  SqlArea(const SqlArea&) = delete;
  SqlArea& operator=(const SqlArea&) = delete;

  // Room for `capacity` variables; the contents are lost.
  void Reserve(short capacity);
  XSQLDA* get() { return reinterpret_cast<XSQLDA*>(storage_.data()); }
  const XSQLDA* get() const { return reinterpret_cast<const XSQLDA*>(storage_.data()); }
  // Variables the statement has (may exceed the capacity before a describe).
  short Count() const { return get()->sqld; }
  short Capacity() const { return get()->sqln; }
  XSQLVAR& Var(int i) { return get()->sqlvar[i]; }
  const XSQLVAR& Var(int i) const { return get()->sqlvar[i]; }

  // Gives every described variable a data buffer and a null indicator, for
  // fetching columns into.
  void AllocateColumnBuffers();

 private:
  std::vector<std::max_align_t> storage_;
  std::vector<std::vector<char>> buffers_;
  std::vector<short> indicators_;
};

short BaseType(const XSQLVAR& var);
bool IsNull(const XSQLVAR& var);

// Column values; conversions a column of another type cannot take throw
// EIBClientError. Blob columns are read by the statement, not here.
std::string TextOf(const XSQLVAR& var);
int64_t IntegerOf(const XSQLVAR& var);
DateTime DateTimeOf(const XSQLVAR& var);

// The program's date-time (local, days since 1899-12-30) and Firebird's
// timestamp (days since 1858-11-17, ten-thousandths of a second), to the
// millisecond.
ISC_TIMESTAMP ToTimestamp(DateTime value);
DateTime FromTimestamp(const ISC_TIMESTAMP& value);

}  // namespace zuntar
