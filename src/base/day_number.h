// Day numbers: a local date-time as days since 1899-12-30 00:00, the time of day as the
// fraction. Before that day the fraction counts backwards from the whole day (-1.25 is
// 1899-12-29 06:00). Every feature that stores or shows day numbers converts here.
#pragma once

#include <QDate>
#include <QDateTime>

// The day numbering starts here (day 0).
inline QDate DayNumberEpoch() {
    return QDate(1899, 12, 30);
}

// Day number of a date-time, read as wall-clock local time.
double DayNumberFromDateTime(const QDateTime& dateTime);

// Local date-time of a day number, to the millisecond. Invalid for NaN, infinity or a
// value outside the dates Qt can hold.
QDateTime DateTimeFromDayNumber(double dayNumber);

// The whole days of a date as a day number.
double DayNumberFromDate(const QDate& date);

// The time of day as a fraction of a day.
double DayFractionFromTime(const QTime& time);
