// Date Control's engine on real files: each "Don't Change" combination, the refusals and
// their order, which files are listed, a failing file counted out, times a file system
// cannot hold (the file keeps its old ones), the range the folder's file system holds, the
// FAT range on a real FAT volume when one can be mounted, and the stored
// settings.
#include "tools/datecontrol/date_changer.h"

#include "platform/file_facts.h"
#include "platform/file_system.h"
#include "support/run_program.h"
#include "support/test_dir.h"
#include "tools/common/file_tool_test_support.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

// Readable failures: a QString as its text.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
void PrintTo(const TFileTime& time, std::ostream* out) {
    *out << time.seconds << "s+" << time.nanoseconds << "ns";
}

namespace {

using file_tool_test::ErrorOf;

TFileTime At(qint64 seconds) {
    return {seconds, 0};
}

struct TTimes {
    qint64 accessed;
    qint64 modified;
};
TTimes TimesOf(const QString& path) {
    TFileFacts facts;
    EXPECT_TRUE(ReadFileFacts(path, facts));
    return {facts.accessed.seconds, facts.modified.seconds};
}

TEST(DateChanger, EachDontChangeCombination) {
    constexpr qint64 kOld = 946684800;   // 2000-01-01 UTC
    constexpr qint64 kNew = 1000000000;  // 2001-09-09 UTC
    struct Case {
        const char* name;
        bool access;
        bool modify;
        TTimes expected;
    };
    const Case cases[] = {
        {"both", true, true, {kNew, kNew}},
        {"access only", true, false, {kNew, kOld}},
        {"modification only", false, true, {kOld, kNew}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        dir.Write("a.jpg", "a");
        dir.Write("b.JPG", "b");
        for (const char* name : {"a.jpg", "b.JPG"}) {
            dir.SetTimes(name, QDateTime::fromSecsSinceEpoch(kOld));
        }
        const QStringList paths = ListDateTargets(dir.Path(), "*.jpg", false);
        ASSERT_EQ(paths.size(), 2);
        const TDateResult result =
            ApplyDates(paths, c.access ? std::optional(At(kNew)) : std::nullopt,
                       c.modify ? std::optional(At(kNew)) : std::nullopt);
        EXPECT_EQ(result.listed, 2);
        EXPECT_EQ(result.changed, 2);
        EXPECT_TRUE(result.failures.isEmpty());
        for (const QString& path : paths) {
            const TTimes times = TimesOf(path);
            EXPECT_EQ(times.accessed, c.expected.accessed);
            EXPECT_EQ(times.modified, c.expected.modified);
        }
    }
}

TEST(DateChanger, RefusalsInOrder) {
    TestDir dir;
    struct Case {
        bool anything;
        QString mask;
        QString folder;
        const char* message;
    };
    const Case cases[] = {
        {false, "", "", "Nothing to change!"},
        {true, "", dir.Path(), "Provide a valid file mask!"},
        {true, "*.jpg", "", "Provide a valid source directory"},
        {true, "*.jpg", dir.Sub("missing"), "Provide a valid source directory"},
        {true, "*.jpg", dir.Path(), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf([&] { CheckDateRequest(c.anything, c.mask, c.folder); }),
                  QString::fromUtf8(c.message));
    }
}

TEST(DateChanger, ListsRegularFilesHiddenOnesTooButNoLinksOrSpecialFiles) {
    TestDir dir;
    dir.Write("d/Photo.JPG", "p");
    dir.Write("d/.hidden.jpg", "h");
    dir.Write("d/notes.txt", "n");
    dir.MakeDir("d/folder.jpg");
    dir.Write("d/sub/deep.jpg", "s");
    dir.Write("outside/target.jpg", "t");
    ASSERT_EQ(symlink(qPrintable(dir.Sub("outside/target.jpg")), qPrintable(dir.Sub("d/link.jpg"))),
              0);
    ASSERT_EQ(mkfifo(qPrintable(dir.Sub("d/pipe.jpg")), 0600), 0);
    EXPECT_EQ(ListDateTargets(dir.Sub("d"), "*.jpg", false),
              QStringList({dir.Sub("d/.hidden.jpg"), dir.Sub("d/Photo.JPG")}));
    EXPECT_EQ(
        ListDateTargets(dir.Sub("d"), "*.jpg", true),
        QStringList({dir.Sub("d/.hidden.jpg"), dir.Sub("d/Photo.JPG"), dir.Sub("d/sub/deep.jpg")}));
    EXPECT_TRUE(ListDateTargets(dir.Sub("d"), "*.png", false).isEmpty());
    EXPECT_EQ(ErrorOf([&] { ListDateTargets(dir.Sub("nope"), "*.jpg", false); }),
              "Could not read " + dir.Sub("nope") + ": No such file or directory");
}

TEST(DateChanger, AFailingFileIsListedAndCountedOut) {
    TestDir dir;
    dir.Write("one.jpg", "1");
    dir.Write("two.jpg", "2");
    dir.Write("three.jpg", "3");
    const QStringList paths = ListDateTargets(dir.Path(), "*.jpg", false);
    ASSERT_EQ(paths.size(), 3);
    ASSERT_TRUE(QFile::remove(dir.Sub("three.jpg")));  // gone before its turn
    const TDateResult result = ApplyDates(paths, std::nullopt, At(1000000000));
    EXPECT_EQ(result.listed, 3);
    EXPECT_EQ(result.changed, 2);
    EXPECT_EQ(result.failures,
              QStringList({"Failed:" + dir.Sub("three.jpg") + " - No such file or directory"}));
    EXPECT_EQ(TimesOf(dir.Sub("one.jpg")).modified, 1000000000);
}

// Both times to the nanosecond, as the file system holds them.
std::pair<TFileTime, TFileTime> ExactTimesOf(const QString& path) {
    TFileFacts facts;
    EXPECT_TRUE(ReadFileFacts(path, facts));
    return {facts.accessed, facts.modified};
}

qint64 LocalSeconds(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second)).toSecsSinceEpoch();
}

TEST(DateChanger, AFileReportedAsFailedKeepsBothOfItsOldTimes) {
    TestDir dir;
    const std::optional<TFileTimeLimits> limits = ProbeFileTimeLimits(
        dir.Path(), {{LocalSeconds(1900, 1, 1), 0}, {LocalSeconds(2599, 12, 31, 12), 0}});
    ASSERT_TRUE(limits) << "the temporary folder takes no unnamed file";
    const bool keepsEarly = limits->earliest.seconds == LocalSeconds(1900, 1, 1);
    const bool keepsLate = limits->latest.seconds == LocalSeconds(2599, 12, 31, 12);
    if (keepsEarly && keepsLate) {
        GTEST_SKIP() << "this file system holds every date from 1900 to 2599";
    }
    const TFileTime inRange{LocalSeconds(2001, 2, 3, 4, 5, 6), 0};
    const TFileTime early{LocalSeconds(1900, 1, 1), 0};
    const TFileTime late{LocalSeconds(2599, 12, 31, 12), 0};
    struct Case {
        const char* name;
        bool applies;
        std::optional<TFileTime> accessed;
        std::optional<TFileTime> modified;
    };
    const Case cases[] = {
        {"modification too early", !keepsEarly, std::nullopt, early},
        {"modification too late", !keepsLate, std::nullopt, late},
        {"access too late", !keepsLate, late, std::nullopt},
        {"access held, modification not", !keepsEarly, inRange, early},
        {"access not held, modification held", !keepsLate, late, inRange},
    };
    for (const Case& c : cases) {
        if (!c.applies) {
            continue;
        }
        SCOPED_TRACE(c.name);
        const QString path = dir.Write("f.jpg", "f");
        // Old times with nanoseconds, which a put-back through whole seconds would lose.
        ASSERT_EQ(
            SetEntryTimes(path, TFileTime{946684800, 123456789}, TFileTime{978307200, 987654321}),
            0);
        const auto before = ExactTimesOf(path);
        const TDateResult result = ApplyDates({path}, c.accessed, c.modified);
        EXPECT_EQ(result.changed, 0);
        EXPECT_EQ(result.failures,
                  QStringList({"Failed:" + path + " - The file system cannot hold this date"}));
        EXPECT_EQ(ExactTimesOf(path), before);
    }
}

TEST(DateChanger, TheOfferedRangeIsHeldByTheFoldersFileSystem) {
    TestDir dir;
    const TDateRange range = DateRangeIn(dir.Path(), false);
    EXPECT_GE(range.first, QDate(1900, 1, 1));
    EXPECT_LE(range.last, QDate(2599, 12, 31));
    EXPECT_LT(range.first, range.last);
    // Both ends of the range, to the last second of its last day, are set and kept.
    const QString path = dir.Write("ends.jpg", "e");
    const TFileTime first{QDateTime(range.first, QTime(0, 0)).toSecsSinceEpoch(), 0};
    const TFileTime last{QDateTime(range.last, QTime(23, 59, 59)).toSecsSinceEpoch(), 0};
    const TDateResult result = ApplyDates({path}, first, last);
    EXPECT_EQ(result.changed, 1) << qPrintable(result.failures.join('\n'));
    EXPECT_EQ(ExactTimesOf(path), std::make_pair(first, last));
    // The probe leaves nothing behind in the folder.
    EXPECT_EQ(QDir(dir.Path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"ends.jpg"}));
    // A folder that cannot be probed is offered the whole range of its kind.
    EXPECT_EQ(DateRangeIn(dir.Sub("missing"), false).last, QDate(2599, 12, 31));
    EXPECT_EQ(DateRangeIn(dir.Sub("missing"), true).first, QDate(1980, 1, 1));
}

TEST(DateChanger, DateRanges) {
    EXPECT_EQ(DateRangeFor(true).first, QDate(1980, 1, 1));
    EXPECT_EQ(DateRangeFor(true).last, QDate(2099, 12, 31));
    EXPECT_EQ(DateRangeFor(false).first, QDate(1900, 1, 1));
    EXPECT_EQ(DateRangeFor(false).last, QDate(2599, 12, 31));
    TestDir dir;
    EXPECT_FALSE(IsFatVolume(dir.Path())) << "the temporary folder is on a FAT volume?";
}

// A 1.44 MB FAT12 image, as a formatting tool would write it.
QByteArray FatImage() {
    QByteArray image(1474560, '\0');
    const unsigned char boot[] = {0xEB, 0x3C, 0x90, 'M',  'S',  'W',  'I', 'N',
                                  '4',  '.',  '1',  0x00, 0x02,  // bytes per sector
                                  0x01,                          // sectors per cluster
                                  0x01, 0x00,                    // reserved sectors
                                  0x02,                          // FATs
                                  0xE0, 0x00,                    // root entries
                                  0x40, 0x0B,                    // sectors
                                  0xF0,                          // media
                                  0x09, 0x00,                    // sectors per FAT
                                  0x12, 0x00, 0x02, 0x00,        // geometry
                                  0,    0,    0,    0,    0,    0,    0,   0,
                                  0x00, 0x00, 0x29, 0x78, 0x56, 0x34, 0x12};
    std::memcpy(image.data(), boot, sizeof boot);
    std::memcpy(image.data() + 43, "NO NAME    FAT12   ", 19);
    image[510] = static_cast<char>(0x55);
    image[511] = static_cast<char>(0xAA);
    for (int fat = 0; fat < 2; ++fat) {
        char* entry = image.data() + 512 * (1 + 9 * fat);
        entry[0] = static_cast<char>(0xF0);
        entry[1] = static_cast<char>(0xFF);
        entry[2] = static_cast<char>(0xFF);
    }
    return image;
}

TEST(DateChanger, TheFatRangeOnARealFatVolume) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a FAT image needs root";
    }
    TestDir dir;
    QFile image(dir.Sub("fat.img"));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write(FatImage());
    image.close();
    const QString mount = dir.MakeDir("mnt");
    const TProgramRun mounted = RunProgram(
        {"mount", "-o", "loop", QFile::encodeName(dir.Sub("fat.img")), QFile::encodeName(mount)});
    if (mounted.exitCode != 0) {
        GTEST_SKIP() << "a FAT image cannot be mounted here: " << mounted.err.constData();
    }
    const auto unmount = qScopeGuard([&] { RunProgram({"umount", QFile::encodeName(mount)}); });
    EXPECT_TRUE(IsFatVolume(mount));
    EXPECT_TRUE(IsFatVolume(mount + "/not-yet"));
    QFile photo(mount + "/photo.jpg");
    ASSERT_TRUE(photo.open(QIODevice::WriteOnly));
    photo.write("p");
    photo.close();
    const qint64 inRange = QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)).toSecsSinceEpoch();
    const TDateResult result =
        ApplyDates(ListDateTargets(mount, "*.JPG", false), At(inRange), At(inRange));
    EXPECT_EQ(result.changed, 1) << qPrintable(result.failures.join('\n'));
    EXPECT_LE(std::abs(TimesOf(mount + "/photo.jpg").modified - inRange), 2);
    // Before 1980 a FAT volume cannot keep the date: said, not counted.
    const qint64 tooEarly = QDateTime(QDate(1970, 6, 1), QTime(0, 0)).toSecsSinceEpoch();
    const TDateResult early =
        ApplyDates(ListDateTargets(mount, "*.jpg", false), std::nullopt, At(tooEarly));
    EXPECT_EQ(early.changed, 0);
}

TEST(DateChanger, StoredSettings) {
    TestDir dir;
    TDateSettings settings;
    settings.folder = dir.Path();
    settings.mask = QStringLiteral("*.png");
    settings.moments = {QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)),
                        QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58)),
                        QDateTime(QDate(2020, 1, 1), QTime(0, 0, 0))};
    settings.keep = kKeepCreation | kKeepModification;
    EXPECT_EQ(TBarList::Join(DateSettingsFields(settings)),
              dir.Path().toUtf8() + "|*.png|2001,2,3,4,5,6|1999,12,31,23,59,58|2020,1,1,0,0,0|5|");

    const TDateSettings parsed = ParseDateSettings(
        TBarList(dir.Sub("gone").toUtf8() + "|*.jpg|2001,2,3,4,5,6|x,2,3,a,5,6|1,2,3,4,5|z|"));
    EXPECT_EQ(parsed.folder, QString());
    EXPECT_EQ(parsed.mask, "*.jpg");
    ASSERT_TRUE(parsed.moments[0]);
    EXPECT_EQ(*parsed.moments[0], QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
    ASSERT_TRUE(parsed.moments[1]);
    EXPECT_EQ(*parsed.moments[1], QDateTime(QDate(1980, 2, 3), QTime(0, 5, 6)));
    EXPECT_FALSE(parsed.moments[2]);  // five parts: the group keeps what it shows
    EXPECT_EQ(parsed.keep, 0);
}

}  // namespace
