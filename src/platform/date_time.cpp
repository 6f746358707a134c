#include "platform/date_time.h"

#include <cmath>
#include <cstdint>
#include <ctime>

namespace zuntar {
namespace {

// 1899-12-30 counted from 1970-01-01.
constexpr int64_t kEpochOffsetDays = -25569;

}  // namespace

// H. Hinnant's algorithms.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

DateTime EncodeDateTime(const CalendarTime& t) {
  const int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) -
                       kEpochOffsetDays;
  const double ms = ((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond;
  return static_cast<double>(days) + ms / kMsPerDay;
}

CalendarTime DecodeDateTime(DateTime value) {
  // Round to the millisecond first so 0.999999 ms of float error never shows
  // up as the previous second.
  const int64_t total_ms = static_cast<int64_t>(std::llround(value * kMsPerDay));
  int64_t days = total_ms / 86400000;
  int64_t ms = total_ms % 86400000;
  if (ms < 0) {
    ms += 86400000;
    --days;
  }
  CalendarTime t;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days + kEpochOffsetDays, year, month, day);
  t.year = static_cast<int>(year);
  t.month = static_cast<int>(month);
  t.day = static_cast<int>(day);
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

CalendarTime LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return CalendarTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min,         local.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

DateTime Now() { return EncodeDateTime(LocalNow()); }

std::optional<int> TimeZoneBiasMinutes() {
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) == nullptr) return std::nullopt;
  return static_cast<int>(-local.tm_gmtoff / 60);
}

DateTime UtcNow() {
  const DateTime local = Now();
  const std::optional<int> bias = TimeZoneBiasMinutes();
  return bias ? local + *bias / 1440.0 : local;
}

DateTime DateTimeFromUnixSeconds(int64_t seconds) {
  // DOS time stamps keep even seconds only. Their year range (1980-2107) is
  // not enforced: certificates routinely carry dates outside it, and a date
  // shifted to a range boundary would be plainly wrong.
  const int64_t even = seconds - (((seconds % 2) + 2) % 2);
  const int64_t days = even >= 0 ? even / 86400 : -((-even + 86399) / 86400);
  const int64_t rest = even - days * 86400;
  return static_cast<double>(days - kEpochOffsetDays) + static_cast<double>(rest) * 1000.0 / kMsPerDay;
}

DateTime LocalFromUnixSeconds(int64_t seconds) {
  const DateTime utc = DateTimeFromUnixSeconds(seconds);
  const std::optional<int> bias = TimeZoneBiasMinutes();
  return bias ? utc - *bias / 1440.0 : utc;
}

namespace {

// File-time units per second, and the seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kFileTimeUnitsPerSecond = 10000000;
constexpr int64_t kFileTimeEpochSeconds = 11644473600;
constexpr int64_t kMaxFileTimeSeconds = INT64_MAX / kFileTimeUnitsPerSecond - kFileTimeEpochSeconds;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Shifts a file time by whole seconds; false when it leaves the range.
bool ShiftFileTime(uint64_t file_time, int64_t seconds, uint64_t* out) {
  const int64_t units = seconds * kFileTimeUnitsPerSecond;
  if (units < 0 && file_time < static_cast<uint64_t>(-units)) return false;
  if (units > 0 && file_time > static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(units)) return false;
  *out = file_time + static_cast<uint64_t>(units);
  return true;
}

int64_t CurrentBiasSeconds() { return int64_t{TimeZoneBiasMinutes().value_or(0)} * 60; }

}  // namespace

FileDate DateTimeToFileDate(DateTime local) {
  const CalendarTime t = DecodeDateTime(local);
  const int64_t seconds = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) * 86400 +
                          t.hour * 3600 + t.minute * 60 + t.second;
  return FloorDiv(seconds, 2) * 2;
}

bool DosDateTimeToFileTime(FileDate date, uint64_t* local_file_time) {
  const int64_t even = FloorDiv(date, 2) * 2;
  if (even < -kFileTimeEpochSeconds || even > kMaxFileTimeSeconds) return false;
  *local_file_time = static_cast<uint64_t>(even + kFileTimeEpochSeconds) * kFileTimeUnitsPerSecond;
  return true;
}

bool FileTimeToDosDateTime(uint64_t local_file_time, FileDate* date) {
  if (local_file_time > static_cast<uint64_t>(INT64_MAX)) return false;
  const int64_t seconds = static_cast<int64_t>(local_file_time / kFileTimeUnitsPerSecond) - kFileTimeEpochSeconds;
  *date = FloorDiv(seconds, 2) * 2;
  return true;
}

bool LocalFileTimeToFileTime(uint64_t local_file_time, uint64_t* utc_file_time) {
  return ShiftFileTime(local_file_time, CurrentBiasSeconds(), utc_file_time);
}

bool FileTimeToLocalFileTime(uint64_t utc_file_time, uint64_t* local_file_time) {
  return ShiftFileTime(utc_file_time, -CurrentBiasSeconds(), local_file_time);
}

}  // namespace zuntar
