// The pure logic of flowreport: calendar dates and billing periods, the counters' history as
// read from the database, and its aggregation into days, billing periods and years with the
// summary an operator reads first. No I/O and no clock: the caller passes today's date and how
// much of it has passed.
#ifndef FLOWSENTRY_REPORT_REPORT_MODEL_H_
#define FLOWSENTRY_REPORT_REPORT_MODEL_H_

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry::report {

// A day of the proleptic Gregorian calendar.
struct Date {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  auto operator<=>(const Date&) const = default;
};

// Days since 1970-01-01 (negative before it), and back.
int64_t DayNumber(const Date& date);
Date DateOfDayNumber(int64_t day_number);
int DaysInMonth(int year, int month);
// "YYYY-MM-DD".
std::string FormatDate(const Date& date);
// Exactly "YYYY-MM-DD" naming a day that exists; nullopt otherwise.
std::optional<Date> ParseDate(std::string_view text);

// A range of whole days, both ends included.
struct DayRange {
  Date start;
  Date end;
  int64_t Days() const { return DayNumber(end) - DayNumber(start) + 1; }
  bool operator==(const DayRange&) const = default;
};

// The billing period that holds `date` when periods begin on day `billing_day` (1..28) of each
// month and end on the day before it in the next month.
DayRange BillingPeriodOf(const Date& date, int billing_day);

struct Totals {
  int64_t packets = 0;
  int64_t bytes = 0;
  Totals& operator+=(const Totals& other) {
    packets += other.packets;
    bytes += other.bytes;
    return *this;
  }
  bool operator==(const Totals&) const = default;
};

// One counting period of a counter as the database holds it: a `countersstat` row, or the
// running row of `counters`, which began at the local midnight of `day` (a DayNumber).
struct PeriodRecord {
  int32_t day = 0;
  Totals totals;
};

// Everything the database holds of one counter. `records` in any order.
struct CounterHistory {
  std::string name;
  int state = 0;             // of the `counters` row, else of the newest archive row
  bool in_counters = false;  // false: known only from the archive (the counter was removed)
  // The first day of the running period (the `counters` row), which lasts until today.
  std::optional<int32_t> running_day;
  std::vector<PeriodRecord> records;
};

enum class View { kSummary, kDays, kMonths, kYears };

struct ReportRequest {
  View view = View::kSummary;
  std::optional<int> count;  // -d N or -m N as given
  int billing_day = 1;
  std::optional<Date> from;  // limits the days read (by a period's first day)
  std::optional<Date> to;
  std::vector<std::string> counters;  // empty: every counter
  Date today;
  double today_elapsed = 0.5;  // the part of today that has passed, 0..1
};

inline constexpr int kDefaultDays = 30;
inline constexpr int kDefaultMonths = 12;

// A row of a report: a day (a period of the database, which covers `span_days` days from its
// first day on when the service did not start on the days after it), a billing period or a year.
struct Bucket {
  DayRange range;  // a day: its first day to its last covered day
  int64_t span_days = 1;
  Totals totals;
};

struct Summary {
  Totals today;
  Totals yesterday;
  DayRange period;  // the current billing period
  Totals period_so_far;
  Totals period_estimate;  // so far, scaled by the period's length over the part gone by
  DayRange last_period;
  Totals last_period_totals;
};

struct CounterReport {
  std::string name;
  int state = 0;
  std::vector<Bucket> buckets;  // the view's rows, oldest first; days for the summary view
  Summary summary;
};

struct Report {
  View view = View::kSummary;
  int billing_day = 1;
  Date today;
  double today_elapsed = 0.5;
  DayRange days;  // the days the days view (and the summary's chart) covers
  std::vector<CounterReport> counters;
};

// Builds the report of `histories` (in the order the counters are to be listed). Names that the
// request lists but no history holds are left out; the caller checks them first.
Report BuildReport(const std::vector<CounterHistory>& histories, const ReportRequest& request);

}  // namespace flowsentry::report

#endif  // FLOWSENTRY_REPORT_REPORT_MODEL_H_
