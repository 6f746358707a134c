#include "tasks/ib_sqlda.h"

#include <cmath>
#include <cstring>

#include "tasks/ib_error.h"

namespace zuntar {

namespace {

// 1899-12-30 as a Firebird day number.
constexpr int64_t kDayZero = 15018;
constexpr int64_t kMsPerDayInt = 86400000;
// Firebird keeps times in units of 1/10000 second.
constexpr int64_t kTicksPerMs = ISC_TIME_SECONDS_PRECISION / 1000;

int64_t Scaled(int64_t value, short scale) {
  for (; scale < 0; ++scale) value /= 10;
  for (; scale > 0; --scale) value *= 10;
  return value;
}

std::string ColumnName(const XSQLVAR& var) {
  return std::string(var.aliasname, static_cast<size_t>(std::max<short>(var.aliasname_length, 0)));
}

[[noreturn]] void Unconvertible(const XSQLVAR& var, const char* target) {
  throw EIBClientError("column " + ColumnName(var) + " cannot be read as " + target);
}

}  // namespace

void SqlArea::Reserve(short capacity) {
  const size_t bytes = XSQLDA_LENGTH(capacity);
  storage_.assign((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), std::max_align_t{});
  XSQLDA* da = get();
  da->version = SQLDA_VERSION1;
  da->sqln = capacity;
  da->sqld = 0;
}

void SqlArea::AllocateColumnBuffers() {
  const short n = Count();
  buffers_.assign(static_cast<size_t>(n), {});
  indicators_.assign(static_cast<size_t>(n), 0);
  for (short i = 0; i < n; ++i) {
    XSQLVAR& var = Var(i);
    size_t size = static_cast<size_t>(var.sqllen);
    if (BaseType(var) == SQL_VARYING) size += sizeof(short);
    buffers_[i].assign(std::max<size_t>(size, 1), 0);
    var.sqldata = buffers_[i].data();
    var.sqlind = &indicators_[i];
  }
}

short BaseType(const XSQLVAR& var) { return static_cast<short>(var.sqltype & ~1); }

bool IsNull(const XSQLVAR& var) { return (var.sqltype & 1) != 0 && var.sqlind != nullptr && *var.sqlind == -1; }

std::string TextOf(const XSQLVAR& var) {
  if (IsNull(var)) return {};
  switch (BaseType(var)) {
    case SQL_TEXT:
      return std::string(var.sqldata, static_cast<size_t>(var.sqllen));
    case SQL_VARYING: {
      short length;
      std::memcpy(&length, var.sqldata, sizeof length);
      return std::string(var.sqldata + sizeof length, static_cast<size_t>(length));
    }
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64:
      if (var.sqlscale == 0) return std::to_string(IntegerOf(var));
      break;
  }
  Unconvertible(var, "text");
}

int64_t IntegerOf(const XSQLVAR& var) {
  if (IsNull(var)) return 0;
  switch (BaseType(var)) {
    case SQL_SHORT: {
      int16_t v;
      std::memcpy(&v, var.sqldata, sizeof v);
      return Scaled(v, var.sqlscale);
    }
    case SQL_LONG: {
      int32_t v;
      std::memcpy(&v, var.sqldata, sizeof v);
      return Scaled(v, var.sqlscale);
    }
    case SQL_INT64: {
      int64_t v;
      std::memcpy(&v, var.sqldata, sizeof v);
      return Scaled(v, var.sqlscale);
    }
  }
  Unconvertible(var, "an integer");
}

DateTime DateTimeOf(const XSQLVAR& var) {
  if (IsNull(var)) return 0;
  ISC_TIMESTAMP ts{};
  switch (BaseType(var)) {
    case SQL_TIMESTAMP:
      std::memcpy(&ts, var.sqldata, sizeof ts);
      return FromTimestamp(ts);
    case SQL_TYPE_DATE:
      std::memcpy(&ts.timestamp_date, var.sqldata, sizeof ts.timestamp_date);
      return FromTimestamp(ts);
    case SQL_TYPE_TIME:
      std::memcpy(&ts.timestamp_time, var.sqldata, sizeof ts.timestamp_time);
      return static_cast<double>(ts.timestamp_time) / (kMsPerDay * kTicksPerMs);
  }
  Unconvertible(var, "a date-time");
}

ISC_TIMESTAMP ToTimestamp(DateTime value) {
  const int64_t ms = std::llround(value * kMsPerDay);
  int64_t days = ms / kMsPerDayInt;
  int64_t rest = ms % kMsPerDayInt;
  if (rest < 0) {
    rest += kMsPerDayInt;
    --days;
  }
  ISC_TIMESTAMP ts;
  ts.timestamp_date = static_cast<ISC_DATE>(days + kDayZero);
  ts.timestamp_time = static_cast<ISC_TIME>(rest * kTicksPerMs);
  return ts;
}

DateTime FromTimestamp(const ISC_TIMESTAMP& value) {
  return static_cast<double>(value.timestamp_date - kDayZero) +
         static_cast<double>(value.timestamp_time) / (kMsPerDay * kTicksPerMs);
}

}  // namespace zuntar
