#include "report/report_model.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>

namespace flowsentry::report {
namespace {

// Civil-date arithmetic on a calendar of 400-year eras (each 146,097 days), which makes the
// conversion exact without tables.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool Wanted(const std::vector<std::string>& names, const std::string& name) {
  return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
}

Date AddDays(const Date& date, int64_t days) { return DateOfDayNumber(DayNumber(date) + days); }

// The periods of one counter, sorted and merged by first day, with the days each covers.
struct Span {
  int64_t day;
  int64_t days;
  Totals totals;
};

std::vector<Span> Spans(const CounterHistory& history, int64_t today) {
  std::vector<PeriodRecord> records = history.records;
  std::sort(records.begin(), records.end(),
            [](const PeriodRecord& a, const PeriodRecord& b) { return a.day < b.day; });
  std::vector<Span> spans;
  for (const PeriodRecord& record : records) {
    // Two rows of one day (a counter created anew under an old name) are that day's sum.
    if (!spans.empty() && spans.back().day == record.day) {
      spans.back().totals += record.totals;
    } else {
      spans.push_back({record.day, 1, record.totals});
    }
  }
  for (size_t i = 0; i + 1 < spans.size(); ++i) spans[i].days = spans[i + 1].day - spans[i].day;
  // The running period lasts until today; an archived last period (the counter was removed
  // since) is taken as one day, its end being unknown.
  if (!spans.empty() && history.running_day && spans.back().day == *history.running_day) {
    spans.back().days = std::max<int64_t>(1, today - spans.back().day + 1);
  }
  return spans;
}

Totals SumOver(const std::vector<Span>& spans, int64_t first, int64_t last) {
  Totals sum;
  for (const Span& span : spans) {
    if (span.day >= first && span.day <= last) sum += span.totals;
  }
  return sum;
}

Totals Scale(const Totals& totals, long double factor) {
  return {static_cast<int64_t>(static_cast<long double>(totals.packets) * factor + 0.5L),
          static_cast<int64_t>(static_cast<long double>(totals.bytes) * factor + 0.5L)};
}

// Buckets of `spans` grouped by the range `group_of` gives each first day, keeping `from`..`to`.
template <typename GroupOf>
std::vector<Bucket> Group(const std::vector<Span>& spans, int64_t from, int64_t to,
                          GroupOf group_of) {
  std::vector<Bucket> buckets;
  for (const Span& span : spans) {
    if (span.day < from || span.day > to) continue;
    const DayRange range = group_of(DateOfDayNumber(span.day));
    if (buckets.empty() || buckets.back().range != range) {
      buckets.push_back({range, range.Days(), {}});
    }
    buckets.back().totals += span.totals;
  }
  return buckets;
}

}  // namespace

int64_t DayNumber(const Date& date) { return DaysFromCivil(date.year, date.month, date.day); }

Date DateOfDayNumber(int64_t day_number) {
  const int64_t z = day_number + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0)), m, d};
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[(month - 1) % 12];
}

std::string FormatDate(const Date& date) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
  return text;
}

std::optional<Date> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  auto number = [&](size_t at, size_t length, int& value) {
    for (size_t i = at; i < at + length; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
    }
    std::from_chars(text.data() + at, text.data() + at + length, value);
    return true;
  };
  Date date;
  if (!number(0, 4, date.year) || !number(5, 2, date.month) || !number(8, 2, date.day)) {
    return std::nullopt;
  }
  if (date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > DaysInMonth(date.year, date.month)) {
    return std::nullopt;
  }
  return date;
}

DayRange BillingPeriodOf(const Date& date, int billing_day) {
  Date start{date.year, date.month, billing_day};
  if (date.day < billing_day) {
    start.month = date.month == 1 ? 12 : date.month - 1;
    start.year = date.month == 1 ? date.year - 1 : date.year;
  }
  Date next{start.month == 12 ? start.year + 1 : start.year,
            start.month == 12 ? 1 : start.month + 1, billing_day};
  return {start, AddDays(next, -1)};
}

Report BuildReport(const std::vector<CounterHistory>& histories, const ReportRequest& request) {
  Report report;
  report.view = request.view;
  report.billing_day = request.billing_day;
  report.today = request.today;
  report.today_elapsed = request.today_elapsed;
  const int64_t today = DayNumber(request.today);
  const int64_t from = request.from ? DayNumber(*request.from) : INT32_MIN;
  const int64_t to = request.to ? DayNumber(*request.to) : INT32_MAX;
  const int64_t last = std::min(to, today);

  // The days the view's rows start on.
  int64_t first = from;
  const DayRange current = BillingPeriodOf(request.today, request.billing_day);
  if (request.view == View::kDays || request.view == View::kSummary) {
    if (request.count || !request.from || request.view == View::kSummary) {
      first = std::max(from, last - request.count.value_or(kDefaultDays) + 1);
    }
  } else if (request.view == View::kMonths) {
    const DayRange newest = BillingPeriodOf(DateOfDayNumber(last), request.billing_day);
    if (request.count || !request.from) {
      DayRange period = newest;
      for (int i = 1; i < request.count.value_or(kDefaultMonths); ++i) {
        period = BillingPeriodOf(AddDays(period.start, -1), request.billing_day);
      }
      first = std::max(from, DayNumber(period.start));
    }
  }

  if (request.view == View::kDays || request.view == View::kSummary) {
    report.days = {DateOfDayNumber(first), DateOfDayNumber(std::max(first, last))};
  }

  for (const CounterHistory& history : histories) {
    if (!Wanted(request.counters, history.name)) continue;
    const std::vector<Span> spans = Spans(history, today);
    CounterReport counter;
    counter.name = history.name;
    counter.state = history.state;
    switch (request.view) {
      case View::kSummary:
      case View::kDays:
        for (const Span& span : spans) {
          if (span.day < first || span.day > to) continue;
          const Date day = DateOfDayNumber(span.day);
          counter.buckets.push_back({{day, AddDays(day, span.days - 1)}, span.days, span.totals});
        }
        break;
      case View::kMonths:
        counter.buckets = Group(spans, first, to, [&](const Date& day) {
          return BillingPeriodOf(day, request.billing_day);
        });
        break;
      case View::kYears:
        counter.buckets = Group(spans, first, to, [](const Date& day) {
          return DayRange{{day.year, 1, 1}, {day.year, 12, 31}};
        });
        break;
    }

    Summary& summary = counter.summary;
    const auto limited = [&](int64_t a, int64_t b) {
      return SumOver(spans, std::max(a, from), std::min(b, to));
    };
    summary.today = limited(today, today);
    summary.yesterday = limited(today - 1, today - 1);
    summary.period = current;
    summary.period_so_far = limited(DayNumber(current.start), today);
    const long double gone =
        static_cast<long double>(today - DayNumber(current.start)) + request.today_elapsed;
    summary.period_estimate =
        gone > 0 ? Scale(summary.period_so_far, static_cast<long double>(current.Days()) / gone)
                 : summary.period_so_far;
    summary.last_period = BillingPeriodOf(AddDays(current.start, -1), request.billing_day);
    summary.last_period_totals =
        limited(DayNumber(summary.last_period.start), DayNumber(summary.last_period.end));
    report.counters.push_back(std::move(counter));
  }
  return report;
}

}  // namespace flowsentry::report
