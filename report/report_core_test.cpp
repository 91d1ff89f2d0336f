#include <gtest/gtest.h>

#include "report/report_format.h"
#include "report/report_model.h"

namespace flowsentry::report {
namespace {

TEST(CalendarTest, DayNumbersRoundTripAndDatesParseStrictly) {
  for (int64_t n = -700000; n <= 2900000; n += 97) {  // years 0053 to 9909
    const Date date = DateOfDayNumber(n);
    ASSERT_EQ(DayNumber(date), n);
    ASSERT_EQ(ParseDate(FormatDate(date)).value_or(Date{}), date) << FormatDate(date);
  }
  EXPECT_EQ(DayNumber({1970, 1, 1}), 0);
  EXPECT_EQ(DayNumber({2000, 3, 1}) - DayNumber({2000, 2, 28}), 2);  // a leap century
  EXPECT_EQ(DayNumber({1900, 3, 1}) - DayNumber({1900, 2, 28}), 1);
  for (const char* bad : {"2026-02-29", "2026-13-01", "2026-00-10", "2026-1-01", "2026/01/01",
                          "2026-01-01x", "", "20a6-01-01", "2026-04-31"}) {
    EXPECT_FALSE(ParseDate(bad)) << bad;
  }
  EXPECT_TRUE(ParseDate("2024-02-29"));
}

TEST(CalendarTest, BillingPeriodsRunFromTheBillingDayToTheDayBeforeIt) {
  struct Case {
    Date date;
    int billing_day;
    Date start, end;
  } cases[] = {
      {{2026, 3, 10}, 1, {2026, 3, 1}, {2026, 3, 31}},
      {{2025, 12, 15}, 15, {2025, 12, 15}, {2026, 1, 14}},
      {{2026, 1, 14}, 15, {2025, 12, 15}, {2026, 1, 14}},
      {{2026, 1, 15}, 15, {2026, 1, 15}, {2026, 2, 14}},
      {{2024, 2, 20}, 28, {2024, 1, 28}, {2024, 2, 27}},
      {{2024, 2, 29}, 28, {2024, 2, 28}, {2024, 3, 27}},
      {{2026, 2, 28}, 1, {2026, 2, 1}, {2026, 2, 28}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BillingPeriodOf(c.date, c.billing_day), (DayRange{c.start, c.end}))
        << FormatDate(c.date) << " day " << c.billing_day;
  }
}

TEST(FormatTest, UnitsAndRates) {
  struct Case {
    int64_t bytes;
    Units units;
    const char* text;
  } cases[] = {
      {0, Units::kBinary, "0 B"},
      {1023, Units::kBinary, "1023 B"},
      {1024, Units::kBinary, "1.00 KiB"},
      {1536000, Units::kBinary, "1.46 MiB"},
      {1536000, Units::kSi, "1.54 MB"},
      {1536000, Units::kExact, "1536000"},
      {999, Units::kSi, "999 B"},
      {int64_t{5} << 40, Units::kBinary, "5.00 TiB"},
      {123456789012, Units::kSi, "123.5 GB"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatBytes(c.bytes, c.units), c.text) << c.bytes;
  EXPECT_EQ(FormatRate(AverageRate(10800000, 1), Units::kBinary), "1.0 kbit/s");
  EXPECT_EQ(FormatRate(AverageRate(108, 1), Units::kExact), "0 bit/s");
}

// A counter that missed two starts, seen from the summary and each view: the period of three
// days is reported on its first day, the running period counts as today, and a period's
// estimate scales what it holds so far by its length.
TEST(BuildReportTest, ViewsAggregateTheSamePeriods) {
  CounterHistory web;
  web.name = "web";
  web.running_day = static_cast<int32_t>(DayNumber({2026, 1, 20}));
  auto add = [&](Date day, int64_t bytes) {
    web.records.push_back({static_cast<int32_t>(DayNumber(day)), {1, bytes}});
  };
  add({2026, 1, 20}, 100);
  add({2025, 12, 30}, 10);  // covers 12-30 .. 01-01
  add({2026, 1, 2}, 20);
  add({2026, 1, 19}, 40);
  add({2025, 12, 14}, 1000);
  ReportRequest request;
  request.today = {2026, 1, 20};
  request.today_elapsed = 0.25;
  request.billing_day = 15;

  const Report summary = BuildReport({web}, request);
  ASSERT_EQ(summary.counters.size(), 1u);
  const Summary& s = summary.counters[0].summary;
  EXPECT_EQ(s.today, (Totals{1, 100}));
  EXPECT_EQ(s.yesterday, (Totals{1, 40}));
  EXPECT_EQ(s.period, (DayRange{{2026, 1, 15}, {2026, 2, 14}}));
  EXPECT_EQ(s.period_so_far, (Totals{2, 140}));
  EXPECT_EQ(s.period_estimate.bytes, 827);  // 140 bytes in 5.25 of 31 days
  EXPECT_EQ(s.last_period_totals, (Totals{2, 30}));

  request.view = View::kDays;
  request.count = 40;
  const Report days = BuildReport({web}, request);
  ASSERT_EQ(days.counters[0].buckets.size(), 5u);  // 12-14 lies 37 days back
  request.count = 30;
  const std::vector<Bucket> month = BuildReport({web}, request).counters[0].buckets;
  ASSERT_EQ(month.size(), 4u);
  EXPECT_EQ(month[0].range, (DayRange{{2025, 12, 30}, {2026, 1, 1}}));
  EXPECT_EQ(month[0].span_days, 3);
  EXPECT_EQ(month[3].span_days, 1);

  request.view = View::kMonths;
  request.count = 2;
  const std::vector<Bucket> periods = BuildReport({web}, request).counters[0].buckets;
  ASSERT_EQ(periods.size(), 2u);
  EXPECT_EQ(periods[0].range, (DayRange{{2025, 12, 15}, {2026, 1, 14}}));
  EXPECT_EQ(periods[0].totals, (Totals{2, 30}));
  EXPECT_EQ(periods[1].totals, (Totals{2, 140}));

  request.view = View::kYears;
  request.count.reset();
  const std::vector<Bucket> years = BuildReport({web}, request).counters[0].buckets;
  ASSERT_EQ(years.size(), 2u);
  EXPECT_EQ(years[0].totals, (Totals{2, 1010}));
  EXPECT_EQ(years[1].totals, (Totals{3, 160}));
}

}  // namespace
}  // namespace flowsentry::report
