#include "tools/datecontrol/date_changer.h"

#include "base/errors.h"
#include "platform/file_access.h"
#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "platform/native_name.h"
#include "tools/common/file_mask.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

// How far a time read back may be from the one set: a FAT volume keeps modification times
// to 2 seconds and access times to the day.
constexpr qint64 kModifiedToleranceSeconds = 2;
constexpr qint64 kAccessedToleranceSeconds = 86400 + 2;

QString PathIn(const QString& folder, const QString& name) {
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

bool Near(const TFileTime& got, const TFileTime& wanted, qint64 toleranceSeconds) {
    return std::llabs(got.seconds - wanted.seconds) <= toleranceSeconds;
}

void ListInto(const QString& folder, const QString& mask, bool recurse, QStringList& paths) {
    QList<TFolderEntry> entries;
    if (!ListFolder(folder, entries)) {
        const int error = errno;
        RaiseError(QString::fromUtf8(kDateCannotReadMessage)
                       .arg(PrintableName(folder), SystemErrorText(error)));
    }
    for (const TFolderEntry& entry : entries) {
        if (entry.kind != kEntryFile || !FileMaskMatches(entry.name, mask)) {
            continue;
        }
        const QString path = PathIn(folder, entry.name);
        TFileFacts facts;
        if (ReadFileFacts(path, facts) && facts.isRegular) {
            paths.append(path);
        }
    }
    if (!recurse) {
        return;
    }
    for (const TFolderEntry& entry : entries) {
        if (entry.kind == kEntryFolder) {
            ListInto(PathIn(folder, entry.name), mask, recurse, paths);
        }
    }
}

}  // namespace

TDateRange DateRangeFor(bool fatVolume) {
    if (fatVolume) {
        return {QDate(1980, 1, 1), QDate(2099, 12, 31)};
    }
    return {QDate(1900, 1, 1), QDate(2599, 12, 31)};
}

TDateRange DateRangeIn(const QString& folder, bool fatVolume) {
    TDateRange range = DateRangeFor(fatVolume);
    const auto dayStart = [](const QDate& day) {
        return QDateTime(day, QTime(0, 0)).toSecsSinceEpoch();
    };
    const auto dayEnd = [](const QDate& day) {
        return QDateTime(day, QTime(23, 59, 59)).toSecsSinceEpoch();
    };
    const std::optional<TFileTimeLimits> limits =
        ProbeFileTimeLimits(folder, {{dayStart(range.first), 0}, {dayEnd(range.last), 0}});
    if (!limits) {
        return range;
    }
    // The first day that begins at or after the earliest time kept, the last that ends at
    // or before the latest.
    QDate earliest = QDateTime::fromSecsSinceEpoch(limits->earliest.seconds).date();
    if (dayStart(earliest) < limits->earliest.seconds) {
        earliest = earliest.addDays(1);
    }
    QDate latest = QDateTime::fromSecsSinceEpoch(limits->latest.seconds).date();
    if (dayEnd(latest) > limits->latest.seconds) {
        latest = latest.addDays(-1);
    }
    range.first = std::max(range.first, earliest);
    range.last = std::min(range.last, latest);
    if (range.last < range.first) {
        range.last = range.first;
    }
    return range;
}

void CheckDateRequest(bool anythingToChange, const QString& mask, const QString& folder) {
    if (!anythingToChange) {
        RaiseError(QString::fromUtf8(kDateNothingMessage));
    }
    if (mask.isEmpty()) {
        RaiseError(QString::fromUtf8(kDateNoMaskMessage));
    }
    if (folder.isEmpty() || !IsFolder(folder)) {
        RaiseError(QString::fromUtf8(kDateNoFolderMessage));
    }
}

QStringList ListDateTargets(const QString& folder, const QString& mask, bool recurse) {
    QStringList paths;
    ListInto(folder, mask, recurse, paths);
    return paths;
}

TDateResult ApplyDates(const QStringList& paths, const std::optional<TFileTime>& accessed,
                       const std::optional<TFileTime>& modified) {
    TDateResult result;
    result.listed = static_cast<int>(paths.size());
    for (const QString& path : paths) {
        const QString shown = PrintableName(path);
        TFileFacts facts;
        int error = 0;
        // A file the user may not write keeps its times, as it keeps its content.
        if (!ReadFileFacts(path, facts)) {
            error = errno;
        } else if (facts.readOnly) {
            error = EACCES;
        } else {
            error = SetEntryTimes(path, accessed, modified);
        }
        if (error != 0) {
            const QString reason = SystemErrorText(error);
            result.failures.append(reason.isEmpty()
                                       ? QString::fromUtf8(kDateFailedBareLine).arg(shown)
                                       : QString::fromUtf8(kDateFailedLine).arg(shown, reason));
            continue;
        }
        // A time outside what the file system can hold is clamped without a word: read the
        // times back so that such a file is not counted as changed, and give it back both
        // of its old times (which the file system held, so they return to the nanosecond).
        TFileFacts after;
        if (ReadFileFacts(path, after) &&
            ((accessed && !Near(after.accessed, *accessed, kAccessedToleranceSeconds)) ||
             (modified && !Near(after.modified, *modified, kModifiedToleranceSeconds)))) {
            const int restored = SetEntryTimes(path, facts.accessed, facts.modified);
            const QString reason = restored == 0 ? QString::fromUtf8(kDateNotHeldReason)
                                                 : QString::fromUtf8(kDateNotHeldReason) + ": " +
                                                       SystemErrorText(restored);
            result.failures.append(QString::fromUtf8(kDateFailedLine).arg(shown, reason));
            continue;
        }
        ++result.changed;
    }
    return result;
}

QByteArray DateSettingsMoment(const QDateTime& moment) {
    const QDate date = moment.date();
    const QTime time = moment.time();
    return QStringLiteral("%1,%2,%3,%4,%5,%6")
        .arg(date.year())
        .arg(date.month())
        .arg(date.day())
        .arg(time.hour())
        .arg(time.minute())
        .arg(time.second())
        .toLatin1();
}

QList<QByteArray> DateSettingsFields(const TDateSettings& settings) {
    QList<QByteArray> fields{EncodeNativeName(settings.folder), settings.mask.toLocal8Bit()};
    for (const std::optional<QDateTime>& moment : settings.moments) {
        fields.append(DateSettingsMoment(moment.value_or(QDateTime::currentDateTime())));
    }
    fields.append(QByteArray::number(settings.keep));
    return fields;
}

TDateSettings ParseDateSettings(const TBarList& fields) {
    TDateSettings settings;
    const QString folder = DecodeNativeName(fields[0]);
    settings.folder = !folder.isEmpty() && IsFolder(folder) ? folder : QString();
    settings.mask = QString::fromLocal8Bit(fields[1]);
    for (int i = 0; i < 3; ++i) {
        const QList<QByteArray> parts = fields[2 + i].split(',');
        if (parts.size() != 6) {
            continue;
        }
        const auto number = [&](int index, int fallback) {
            bool ok = false;
            const int value = parts[index].trimmed().toInt(&ok);
            return ok ? value : fallback;
        };
        const QDate date(number(0, 1980), number(1, 1), number(2, 1));
        const QTime time(number(3, 0), number(4, 0), number(5, 0));
        if (date.isValid() && time.isValid()) {
            settings.moments[i] = QDateTime(date, time);
        }
    }
    settings.keep = fields.Int(5, 0);
    return settings;
}
