#include "platform/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

namespace zuntar {
namespace {

TEST(DateTime, EpochAndKnownDays) {
  EXPECT_EQ(EncodeDateTime({1899, 12, 30}), 0.0);
  EXPECT_EQ(EncodeDateTime({1900, 1, 1}), 2.0);
  EXPECT_EQ(EncodeDateTime({1970, 1, 1}), 25569.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({2000, 1, 1, 12, 0, 0, 0}), 36526.5);
}

TEST(DateTime, DecodeInvertsEncode) {
  const CalendarTime t{2026, 2, 28, 23, 59, 59, 999};
  const CalendarTime back = DecodeDateTime(EncodeDateTime(t));
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.month, 2);
  EXPECT_EQ(back.day, 28);
  EXPECT_EQ(back.hour, 23);
  EXPECT_EQ(back.minute, 59);
  EXPECT_EQ(back.second, 59);
  EXPECT_EQ(back.millisecond, 999);
}

TEST(DateTime, FromUnixSecondsAtDosResolutionWithoutZone) {
  EXPECT_EQ(DateTimeFromUnixSeconds(0), 25569.0);
  EXPECT_EQ(DateTimeFromUnixSeconds(1), 25569.0);
  EXPECT_EQ(DateTimeFromUnixSeconds(86400 + 3), 25570.0 + 2.0 / 86400);
  // Before 1970 odd seconds go down as well: -1 is 1969-12-31 23:59:58.
  const CalendarTime before = DecodeDateTime(DateTimeFromUnixSeconds(-1));
  EXPECT_EQ(before.year, 1969);
  EXPECT_EQ(before.hour, 23);
  EXPECT_EQ(before.second, 58);
  const CalendarTime far = DecodeDateTime(DateTimeFromUnixSeconds(253402300799));
  EXPECT_EQ(far.year, 9999);
  EXPECT_EQ(far.hour, 23);
  EXPECT_EQ(far.second, 58);
}

// The zone is fixed for the whole test binary so the bias is known.
class DateTimeInZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? tz : "";
    had_ = tz != nullptr;
    setenv("TZ", "MSK-3", 1);  // UTC+3, no daylight saving
    tzset();
  }
  void TearDown() override {
    if (had_) setenv("TZ", saved_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  std::string saved_;
  bool had_ = false;
};

TEST_F(DateTimeInZone, BiasIsUtcMinusLocal) {
  ASSERT_TRUE(TimeZoneBiasMinutes().has_value());
  EXPECT_EQ(*TimeZoneBiasMinutes(), -180);
  EXPECT_NEAR((Now() - UtcNow()) * 1440.0, 180.0, 0.01);
}

TEST_F(DateTimeInZone, LocalFromUnixSecondsKeepsEvenSeconds) {
  // 2024-03-01 10:00:01 UTC is 13:00:00 local at DOS resolution.
  const DateTime t = LocalFromUnixSeconds(1709287201);
  const CalendarTime c = DecodeDateTime(t);
  EXPECT_EQ(c.year, 2024);
  EXPECT_EQ(c.month, 3);
  EXPECT_EQ(c.day, 1);
  EXPECT_EQ(c.hour, 13);
  EXPECT_EQ(c.second, 0);
  EXPECT_EQ(LocalFromUnixSeconds(1709287200), t);
  // Outside the DOS year range the date stays right instead of failing.
  const CalendarTime far = DecodeDateTime(LocalFromUnixSeconds(253402300799));  // 9999-12-31 23:59:59
  EXPECT_EQ(far.year, 10000);
  EXPECT_EQ(far.hour, 2);
  EXPECT_EQ(far.second, 58);
  const CalendarTime early = DecodeDateTime(LocalFromUnixSeconds(0));
  EXPECT_EQ(early.year, 1970);
  EXPECT_EQ(early.hour, 3);
}

TEST_F(DateTimeInZone, FileDateKeepsEvenLocalSecondsAndFileTimesShiftByTheBias) {
  // 2024-03-01 12:00:01.900 local: an even 12:00:00 local, 09:00:00 UTC.
  const FileDate date = DateTimeToFileDate(EncodeDateTime({2024, 3, 1, 12, 0, 1, 900}));
  EXPECT_EQ(date, 1709294400);
  EXPECT_EQ(DateTimeToFileDate(EncodeDateTime({2024, 3, 1, 12, 0, 0, 0})), date);
  uint64_t local = 0, utc = 0, back = 0;
  ASSERT_TRUE(DosDateTimeToFileTime(date, &local));
  EXPECT_EQ(local, (1709294400ull + 11644473600ull) * 10000000ull);
  ASSERT_TRUE(LocalFileTimeToFileTime(local, &utc));
  EXPECT_EQ(utc, local - 3ull * 3600 * 10000000);
  ASSERT_TRUE(FileTimeToLocalFileTime(utc, &back));
  EXPECT_EQ(back, local);
  FileDate again = 0;
  ASSERT_TRUE(FileTimeToDosDateTime(local + 15000000, &again));  // 1.5 s later: the same even second
  EXPECT_EQ(again, date);
  // Dates outside the DOS years stay right; before 1601 there is no file time.
  EXPECT_EQ(DateTimeToFileDate(EncodeDateTime({1970, 1, 1, 0, 0, 3, 0})), 2);
  EXPECT_EQ(DateTimeToFileDate(EncodeDateTime({1969, 12, 31, 23, 59, 59, 0})), -2);
  EXPECT_EQ(DateTimeToFileDate(EncodeDateTime({2200, 1, 1})), 7258118400);
  ASSERT_TRUE(DosDateTimeToFileTime(DateTimeToFileDate(EncodeDateTime({1601, 1, 1})), &local));
  EXPECT_EQ(local, 0u);
  EXPECT_FALSE(LocalFileTimeToFileTime(0, &utc));  // midnight of 1601 here is still 1600 in UTC
  EXPECT_FALSE(DosDateTimeToFileTime(DateTimeToFileDate(EncodeDateTime({1600, 12, 31})), &local));
}

}  // namespace
}  // namespace zuntar
