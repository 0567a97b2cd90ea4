// The shared utility functions: numbers, texts, stamps, day numbers and file times.
#include "base/day_number.h"
#include "base/errors.h"
#include "base/utilities.h"
#include "platform/file_utilities.h"
#include "support/test_dir.h"

#include <QFileInfo>
#include <QLocale>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EQuiva& error) {
        return error.Message();
    }
    return {};
}

TEST(FormatThousands, GroupsWithTheLocaleSeparator) {
    QLocale::setDefault(QLocale::c());
    struct Case {
        quint64 value;
        const char* expected;
    };
    const Case cases[] = {
        {0, "[0 Bytes]"},
        {7, "[7 Bytes]"},
        {999, "[999 Bytes]"},
        {1000, "[1,000 Bytes]"},
        {1234567, "[1,234,567 Bytes]"},
        {4294967295ull, "[4,294,967,295 Bytes]"},
        {4294967306ull, "[4,294,967,306 Bytes]"},  // 4 GiB + 10: all 64 bits count
        {18446744073709551615ull, "[18,446,744,073,709,551,615 Bytes]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatThousands("[", c.value, " Bytes]"), QString::fromLatin1(c.expected));
    }
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(FormatThousands("", 1234567, ""), QStringLiteral("1.234.567"));
    QLocale::setDefault(QLocale::c());
}

TEST(BoundIndex, KeepsNegativeAndDropsTooLarge) {
    EXPECT_EQ(BoundIndex(5, 3), 0);
    EXPECT_EQ(BoundIndex(3, 3), 3);
    EXPECT_EQ(BoundIndex(0, 3), 0);
    EXPECT_EQ(BoundIndex(-1, 3), -1);
}

TEST(RemoveAndReplaceAll, RescanFromTheStart) {
    EXPECT_EQ(RemoveAll("aabb", "ab"), "");  // removing one "ab" makes another
    EXPECT_EQ(RemoveAll("x..y", "."), "xy");
    EXPECT_EQ(RemoveAll("abc", ""), "abc");
    EXPECT_EQ(ReplaceAll("a  b   c", "  ", " "), "a b c");
    EXPECT_EQ(ReplaceAll("abc", "b", "XY"), "aXYc");
    // A replacement holding the text itself ends after one pass instead of never.
    EXPECT_EQ(ReplaceAll("a.b", ".", ".."), "a..b");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
}

TEST(RejectSequence, NamesTheSequence) {
    EXPECT_EQ(ErrorOf([] { RejectSequence("..", "a/../b"); }), "Illegal character sequence ..");
    EXPECT_EQ(ErrorOf([] { RejectSequence("..", "a/./b"); }), "");
}

TEST(RejectOwnFolders, SameFolderOnDiskOrSameText) {
    TestDir dir;
    const QString own = dir.MakeDir("program") + "/";
    const QString other = dir.MakeDir("other");
    const QStringList folders{own, dir.Sub("missing-data/")};
    const QString message = "Quiva application, data & log folders cannot be monitored";
    EXPECT_EQ(ErrorOf([&] { RejectOwnFolders(dir.Sub("program"), folders); }), message);
    EXPECT_EQ(ErrorOf([&] { RejectOwnFolders(dir.Sub("program/../program/"), folders); }), message);
    ASSERT_EQ(symlink(own.toLocal8Bit().constData(), dir.Sub("link").toLocal8Bit().constData()), 0);
    EXPECT_EQ(ErrorOf([&] { RejectOwnFolders(dir.Sub("link"), folders); }), message);
    EXPECT_EQ(ErrorOf([&] { RejectOwnFolders(dir.Sub("missing-data"), folders); }), message);
    EXPECT_EQ(ErrorOf([&] { RejectOwnFolders(other, folders); }), "");
    // Names differing only in case are different folders here.
    EXPECT_EQ(ErrorOf([&] { RejectOwnFolders(dir.Sub("PROGRAM"), folders); }), "");
}

TEST(Paths, TrailingSlashAndHome) {
    QString path = "/tmp/x";
    IncludeTrailingBackslash(path);
    EXPECT_EQ(path, "/tmp/x/");
    IncludeTrailingBackslash(path);
    EXPECT_EQ(path, "/tmp/x/");
    EXPECT_TRUE(WindowsFolder().endsWith('/'));
    EXPECT_TRUE(QFileInfo(WindowsFolder()).isDir());
}

TEST(MakeTempFileName, CreatesAnEmptyPrivateQvkFile) {
    const QString path = MakeTempFileName();
    QFileInfo info(path);
    EXPECT_TRUE(info.fileName().startsWith("qvk"));
    EXPECT_TRUE(info.isFile());
    EXPECT_EQ(info.size(), 0);
    EXPECT_EQ(info.permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
    EXPECT_NE(MakeTempFileName(), path);
    QFile::remove(path);
}

TEST(MakeTempFileName, FailsWithItsMessageWhenTheFolderIsMissing) {
    const QByteArray saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/nonexistent-quiva-folder");
    EXPECT_EQ(ErrorOf([] { (void)MakeTempFileName(); }), "Unable to create backup file");
    if (saved.isEmpty()) {
        qunsetenv("TMPDIR");
    } else {
        qputenv("TMPDIR", saved);
    }
}

TEST(ParseStamp, ItemsAndDefaults) {
    double date = 0;
    double time = 0;
    ParseStamp("2024/05/06 12:30:00", date, time);
    EXPECT_EQ(DateTimeFromDayNumber(date).date(), QDate(2024, 5, 6));
    EXPECT_DOUBLE_EQ(time, 0.5 + 30.0 / 1440);

    ParseStamp("x,,, 6, 0, 0", date, time);  // defaults: year 2000, month 1, day 1
    EXPECT_EQ(DateTimeFromDayNumber(date).date(), QDate(2000, 1, 1));
    EXPECT_DOUBLE_EQ(time, 0.25);

    EXPECT_EQ(ErrorOf([&] { ParseStamp("2024/05/06 12:30", date, time); }),
              "List index out of bounds (5)");
    EXPECT_EQ(ErrorOf([&] { ParseStamp("2024/13/06 12:30:00", date, time); }),
              "Invalid argument to date encode");
    EXPECT_EQ(ErrorOf([&] { ParseStamp("2024/12/06 25:30:00", date, time); }),
              "Invalid argument to time encode");
}

TEST(DayNumber, EpochFractionsAndDaysBefore) {
    struct Case {
        QDateTime when;
        double day;
    };
    const Case cases[] = {
        {QDateTime(QDate(1899, 12, 30), QTime(0, 0)), 0.0},
        {QDateTime(QDate(1899, 12, 31), QTime(12, 0)), 1.5},
        {QDateTime(QDate(1899, 12, 29), QTime(6, 0)), -1.25},
        {QDateTime(QDate(2000, 1, 1), QTime(18, 0)), 36526.75},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(DayNumberFromDateTime(c.when), c.day);
        EXPECT_EQ(DateTimeFromDayNumber(c.day), c.when);
    }
    EXPECT_FALSE(DateTimeFromDayNumber(std::nan("")).isValid());
    EXPECT_FALSE(DateTimeFromDayNumber(1e12).isValid());
}

class LocalZone : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }
    void TearDown() override {
        if (m_saved.isEmpty()) {
            qunsetenv("TZ");
        } else {
            qputenv("TZ", m_saved);
        }
        tzset();
    }
    QByteArray m_saved;
};

TEST_F(LocalZone, FileTimesUseTheRealLocalOffsetOfTheMoment) {
    // Winter: UTC+1; summer: UTC+2 (the standard bias alone would be an hour off).
    const double winterDate = DayNumberFromDate(QDate(2024, 1, 15));
    const double summerDate = DayNumberFromDate(QDate(2024, 7, 15));
    const double noon = 0.5;
    const TFileTime winter = DateTimeToFileTimeUtc(noon, winterDate);
    const TFileTime summer = DateTimeToFileTimeUtc(noon, summerDate);
    EXPECT_EQ(winter.seconds,
              QDateTime(QDate(2024, 1, 15), QTime(11, 0), QTimeZone::utc()).toSecsSinceEpoch());
    EXPECT_EQ(summer.seconds,
              QDateTime(QDate(2024, 7, 15), QTime(10, 0), QTimeZone::utc()).toSecsSinceEpoch());

    double back = 0;
    ASSERT_TRUE(FileTimeToLocalDateTime(summer, back));
    EXPECT_NEAR(back, summerDate + noon, 1e-9);

    // Before the epoch the time counts backwards from the date.
    const TFileTime before = DateTimeToFileTimeUtc(0.25, -1);
    EXPECT_EQ(QDateTime::fromSecsSinceEpoch(before.seconds, Qt::LocalTime),
              QDateTime(QDate(1899, 12, 29), QTime(6, 0)));

    EXPECT_EQ(ErrorOf([] { (void)DateTimeToFileTimeUtc(0, 1e12); }), "Timestamp conversion error");
    EXPECT_FALSE(FileTimeToLocalDateTime(TFileTime{0, 2000000000}, back));
}

}  // namespace
