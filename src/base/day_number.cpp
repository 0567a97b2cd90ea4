#include "base/day_number.h"

#include <cmath>

namespace {
constexpr double kMsPerDay = 86400000.0;
constexpr double kLargestDayNumber = 2958465.0;   // 9999-12-31
constexpr double kSmallestDayNumber = -693593.0;  // 0001-01-01
}  // namespace

double DayNumberFromDate(const QDate& date) {
    return static_cast<double>(DayNumberEpoch().daysTo(date));
}

double DayFractionFromTime(const QTime& time) {
    return time.isValid() ? time.msecsSinceStartOfDay() / kMsPerDay : 0.0;
}

double DayNumberFromDateTime(const QDateTime& dateTime) {
    const double days = DayNumberFromDate(dateTime.date());
    const double fraction = DayFractionFromTime(dateTime.time());
    return days >= 0 ? days + fraction : days - fraction;
}

QDateTime DateTimeFromDayNumber(double dayNumber) {
    if (!std::isfinite(dayNumber) || dayNumber < kSmallestDayNumber - 1 ||
        dayNumber > kLargestDayNumber + 1) {
        return {};
    }
    const double whole = std::trunc(dayNumber);
    qint64 ms = std::llround(std::fabs(dayNumber - whole) * kMsPerDay);
    QDate date = DayNumberEpoch().addDays(static_cast<qint64>(whole));
    if (ms >= static_cast<qint64>(kMsPerDay)) {
        date = date.addDays(1);
        ms = 0;
    }
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
}
