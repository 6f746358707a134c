// The program's date-time values: days since 1899-12-30 00:00 as a double,
// the fraction being the time of day. Local time unless a name says UTC.
#pragma once

#include <cstdint>
#include <optional>

namespace zuntar {

using DateTime = double;

constexpr double kMsPerDay = 86400000.0;

// Broken-down calendar time with milliseconds.
struct CalendarTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

DateTime EncodeDateTime(const CalendarTime& t);
CalendarTime DecodeDateTime(DateTime value);

// The current local time, to the millisecond.
CalendarTime LocalNow();
DateTime Now();

// Minutes to add to local time to get UTC at this moment (daylight saving
// included), or nothing when the zone information cannot be read.
std::optional<int> TimeZoneBiasMinutes();

// The current time in UTC: local time plus the bias (local time unchanged
// when the bias is unknown).
DateTime UtcNow();

// Seconds since 1970-01-01 to a date-time at the two-second resolution of
// DOS time stamps (odd seconds go down), with no zone shift.
DateTime DateTimeFromUnixSeconds(int64_t seconds);

// Seconds since 1970-01-01 UTC to a local date-time at the two-second
// resolution of DOS time stamps, shifted by the current bias.
DateTime LocalFromUnixSeconds(int64_t seconds);

// A DOS file date-time widened to any date: local seconds since
// 1970-01-01 at the DOS resolution of two seconds (always even).
using FileDate = int64_t;

// The local date-time with its seconds rounded down to an even number
// (milliseconds dropped); no 1980-2107 range.
FileDate DateTimeToFileDate(DateTime local);

// File times count 100-nanosecond intervals since 1601-01-01 (the
// platform's FILETIME), local or UTC as the names say. The conversions
// between local and UTC use the current bias, as the platform's do; they
// fail for times a file time cannot hold (before 1601).
bool DosDateTimeToFileTime(FileDate date, uint64_t* local_file_time);
bool FileTimeToDosDateTime(uint64_t local_file_time, FileDate* date);
bool LocalFileTimeToFileTime(uint64_t local_file_time, uint64_t* utc_file_time);
bool FileTimeToLocalFileTime(uint64_t utc_file_time, uint64_t* local_file_time);

}  // namespace zuntar
