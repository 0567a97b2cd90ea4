// DirTrack's tracker and tracking service on real folders with real inotify: what each
// "Track These" choice records and lists, renames as OldName/NewName, folders made while
// tracking, one entry per change and millisecond, clear-at with Auto Save, the CSV bytes
// and its quoting, the refusals, an overflow and the system's watch limit, the program's
// own folders, and the stored settings with Auto Start.
#include "tools/dirtrack/track_help.h"
#include "tools/dirtrack/watcher.h"

#include "base/errors.h"
#include "base/settings_codec.h"
#include "platform/folder_watcher.h"
#include "storage/tool_state.h"
#include "support/test_dir.h"
#include "support/test_host.h"
#include "tools/common/file_tool_test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

// Readable failures: a QString as its text.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

using file_tool_test::ErrorOf;

constexpr int kWaitMs = 10000;

void Touch(const QString& path, const QByteArray& content = "x") {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append)) << qPrintable(path);
    file.write(content);
}

// Records what the waiting thread queues until the condition holds (bounded).
bool RecordUntil(TWatcher& tracker, const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        tracker.RecordAll();
        if (done()) {
            return true;
        }
        const qint64 left = kWaitMs - clock.elapsed();
        if (left <= 0) {
            return false;
        }
        (void)tracker.WaitForBlock(static_cast<int>(left));
    }
}

bool Holds(const TWatcher& tracker, int action, const QString& name) {
    const QList<TTrackEntry>& entries = tracker.Entries(action);
    return std::any_of(entries.cbegin(), entries.cend(),
                       [&](const TTrackEntry& entry) { return entry.name == name; });
}

int CountOf(const TWatcher& tracker, int action, const QString& name) {
    const QList<TTrackEntry>& entries = tracker.Entries(action);
    return static_cast<int>(std::count_if(entries.cbegin(), entries.cend(),
                                          [&](const TTrackEntry& e) { return e.name == name; }));
}

QStringList CsvFiles(const QString& folder) {
    return QDir(folder).entryList({"DirTrack *.csv"}, QDir::Files, QDir::Name);
}

class DirTrack : public ::testing::Test {
protected:
    void SetUp() override {
        m_host.OpenStores(m_dir.Sub("prog"), {.backups = false});
        m_dir.MakeDir("watched");
    }
    QString Root() const { return m_dir.Sub("watched"); }
    QString At(const QString& name) const { return Root() + "/" + name; }

    TTrackStart Start(quint16 options, int clearAt = kTrackDefaultClearAt) const {
        TTrackStart start;
        start.folder = Root();
        start.options = options;
        start.clearAt = clearAt;
        start.logsFolder = m_host.LogsFolder();
        return start;
    }

    TestDir m_dir;
    TTestHost m_host;
};

TEST_F(DirTrack, EachChoiceRecordsWhatTheSystemReportsAndListsItsOwnKind) {
    struct Case {
        const char* name;
        quint16 options;
        quint32 listed;  // the display set
    };
    const Case cases[] = {
        {"additions", kTrackAdditions, (1u << kTrackAdded)},
        {"deletions", kTrackDeletions, (1u << kTrackRemoved)},
        {"names", kTrackNameChanges, (1u << kTrackOldName) | (1u << kTrackNewName)},
        {"properties", kTrackPropertyChanges, (1u << kTrackModified)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(Root()).removeRecursively();
        m_dir.MakeDir("watched");
        TWatcher tracker(&m_host, Start(c.options));
        EXPECT_EQ(tracker.DisplaySet(), c.listed | (1u << kTrackOverflow));
        if ((c.options & kTrackPropertyChanges) != 0) {
            m_dir.Write("watched/p.txt", "1");
            TWatcher props(&m_host, Start(c.options));
            Touch(At("p.txt"), "more");
            ASSERT_TRUE(RecordUntil(props, [&] { return Holds(props, kTrackModified, "p.txt"); }));
            EXPECT_TRUE(props.Entries(kTrackAdded).isEmpty());
            continue;
        }
        // A name change of any kind brings the others along: all are recorded, whatever is
        // listed, as a deletion is with only "Additions" checked.
        Touch(At("a.txt"));
        ASSERT_EQ(rename(qPrintable(At("a.txt")), qPrintable(At("b.txt"))), 0);
        ASSERT_TRUE(QFile::remove(At("b.txt")));
        ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackRemoved, "b.txt"); }));
        EXPECT_TRUE(Holds(tracker, kTrackAdded, "a.txt"));
        EXPECT_TRUE(Holds(tracker, kTrackOldName, "a.txt"));
        EXPECT_TRUE(Holds(tracker, kTrackNewName, "b.txt"));
        EXPECT_TRUE(tracker.Entries(kTrackModified).isEmpty());
        EXPECT_TRUE(tracker.NewData());
        const QByteArray csv = tracker.CsvText();
        EXPECT_TRUE(csv.contains("b.txt,") && csv.contains(",Removed\r\n")) << csv.constData();
    }
}

TEST_F(DirTrack, ARenameGivesOldNameThenNewNameAndMovesCountAsAddedOrRemoved) {
    m_dir.MakeDir("outside");
    m_dir.Write("watched/a.txt", "a");
    TWatcher tracker(&m_host, Start(kTrackNameChanges));
    ASSERT_EQ(rename(qPrintable(At("a.txt")), qPrintable(At("b.txt"))), 0);
    ASSERT_EQ(rename(qPrintable(At("b.txt")), qPrintable(m_dir.Sub("outside/b.txt"))), 0);
    ASSERT_EQ(rename(qPrintable(m_dir.Sub("outside/b.txt")), qPrintable(At("c.txt"))), 0);
    ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackAdded, "c.txt"); }));
    ASSERT_EQ(tracker.Entries(kTrackOldName).size(), 1);
    EXPECT_EQ(tracker.Entries(kTrackOldName)[0].name, "a.txt");
    ASSERT_EQ(tracker.Entries(kTrackNewName).size(), 1);
    EXPECT_EQ(tracker.Entries(kTrackNewName)[0].name, "b.txt");
    EXPECT_TRUE(Holds(tracker, kTrackRemoved, "b.txt"));
    const QList<QPair<int, TTrackEntry>> order = tracker.InOrder();
    ASSERT_GE(order.size(), 2);
    EXPECT_EQ(order[0].first, kTrackOldName);
    EXPECT_EQ(order[1].first, kTrackNewName);
}

TEST_F(DirTrack, AFileWrittenInAFolderMadeAMomentEarlierIsRecorded) {
    TWatcher tracker(&m_host, Start(kTrackAdditions | kTrackRecurse));
    // The folder and its files appear faster than any watch can be added for it.
    ASSERT_TRUE(QDir().mkpath(At("new/deeper")));
    Touch(At("new/deeper/early.txt"));
    Touch(At("new/first.txt"));
    ASSERT_TRUE(RecordUntil(tracker, [&] {
        return Holds(tracker, kTrackAdded, "new/deeper/early.txt") &&
               Holds(tracker, kTrackAdded, "new/first.txt");
    }));
    EXPECT_EQ(CountOf(tracker, kTrackAdded, "new/first.txt"), 1);
    // The new folders are watched from now on.
    Touch(At("new/deeper/later.txt"));
    ASSERT_TRUE(
        RecordUntil(tracker, [&] { return Holds(tracker, kTrackAdded, "new/deeper/later.txt"); }));
    // Without Recurse nothing below the folder is recorded.
    TWatcher flat(&m_host, Start(kTrackAdditions));
    Touch(At("new/below.txt"));
    Touch(At("top.txt"));
    ASSERT_TRUE(RecordUntil(flat, [&] { return Holds(flat, kTrackAdded, "top.txt"); }));
    EXPECT_FALSE(Holds(flat, kTrackAdded, "new/below.txt"));
}

TEST_F(DirTrack, OneEntryPerNameActionAndMillisecond) {
    m_dir.Write("watched/f.txt", "1");
    m_dir.Write("watched/g.txt", "1");
    TWatcher tracker(&m_host, Start(kTrackPropertyChanges | kTrackAdditions));
    qint64 now = 5;
    tracker.Tick = [&now] { return now; };
    // Writes, a mode change and a close: several records of one action for f.txt.
    Touch(At("f.txt"), "2");
    ASSERT_EQ(chmod(qPrintable(At("f.txt")), 0640), 0);
    Touch(At("g.txt"), "2");
    ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackModified, "g.txt"); }));
    EXPECT_EQ(CountOf(tracker, kTrackModified, "f.txt"), 1);

    // Later, at another millisecond: one more entry, though the name had one before.
    now = 100;
    ASSERT_EQ(chmod(qPrintable(At("f.txt")), 0600), 0);
    Touch(At("f.txt"), "3");
    Touch(At("marker"));
    ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackAdded, "marker"); }));
    EXPECT_EQ(CountOf(tracker, kTrackModified, "f.txt"), 2);

    // Names that differ only in case are two files on Linux: two entries.
    now = 200;
    Touch(At("case.txt"));
    Touch(At("CASE.txt"));
    ASSERT_TRUE(RecordUntil(tracker, [&] {
        return Holds(tracker, kTrackAdded, "case.txt") && Holds(tracker, kTrackAdded, "CASE.txt");
    }));
}

TEST_F(DirTrack, ClearAtEmptiesTheRecordAndAutoSaveWritesItFirst) {
    TWatcher tracker(&m_host, Start(kTrackAdditions | kTrackAutoSave, 10));
    for (int i = 0; i < 9; ++i) {
        Touch(At(QStringLiteral("f%1").arg(i)));
    }
    ASSERT_TRUE(RecordUntil(tracker, [&] { return tracker.Sequence().size() >= 9; }));
    EXPECT_TRUE(CsvFiles(m_host.LogsFolder()).isEmpty());
    tracker.ClearNewData();  // as a window that has shown the nine rows
    Touch(At("tenth"));
    ASSERT_TRUE(RecordUntil(tracker, [&] { return !CsvFiles(m_host.LogsFolder()).isEmpty(); }));
    EXPECT_FALSE(tracker.HasEntries());
    // The emptied record is news: a window showing the old rows must refresh.
    EXPECT_TRUE(tracker.NewData());
    const QStringList saved = CsvFiles(m_host.LogsFolder());
    ASSERT_EQ(saved.size(), 1);
    QFile csv(m_host.LogsFolder() + saved[0]);
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QByteArray text = csv.readAll();
    EXPECT_EQ(text.count("\r\n"), 11);  // the header and ten entries
    EXPECT_TRUE(text.contains("tenth,"));
    struct stat st;
    ASSERT_EQ(stat(qPrintable(m_host.LogsFolder() + saved[0]), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Without Auto Save the record is emptied all the same, and nothing is written.
    TWatcher quiet(&m_host, Start(kTrackAdditions, 10));
    int recorded = 0;
    quiet.OnRecorded = [&recorded](int, const TTrackEntry&) { ++recorded; };
    for (int i = 0; i < 10; ++i) {
        Touch(At(QStringLiteral("q%1").arg(i)));
    }
    ASSERT_TRUE(RecordUntil(quiet, [&] { return recorded >= 10; }));
    EXPECT_FALSE(quiet.HasEntries());
    EXPECT_EQ(CsvFiles(m_host.LogsFolder()).size(), 1);
}

TEST_F(DirTrack, TheCsvOfOneAddedFileAndNamesThatNeedQuotes) {
    TWatcher tracker(&m_host, Start(kTrackAdditions));
    EXPECT_EQ(tracker.SaveToLogs(), QString());  // nothing recorded: nothing written
    EXPECT_TRUE(CsvFiles(m_host.LogsFolder()).isEmpty());
    Touch(At("report.txt"));
    ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackAdded, "report.txt"); }));
    const TTrackEntry entry = tracker.Entries(kTrackAdded)[0];
    const QByteArray when =
        tracker.EntryTime(entry).toString(QStringLiteral("yyMMdd:HHmmss")).toLatin1();
    EXPECT_EQ(tracker.CsvText(),
              "\xEF\xBB\xBFObject,Date,Operation\r\nreport.txt," + when + ",Added\r\n");

    const QString path = tracker.SaveToLogs();
    ASSERT_FALSE(path.isEmpty());
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), tracker.CsvText());
    // A second save within the same second never replaces the first.
    const QString again = tracker.SaveToLogs();
    EXPECT_NE(again, path);
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(CsvFiles(m_host.LogsFolder()).size(), 2);

    struct Case {
        QString name;
        QByteArray field;
    };
    const Case cases[] = {
        {"a,b.txt", "\"a,b.txt\""},
        {"say \"hi\".txt", "\"say \"\"hi\"\".txt\""},
        {"two\nlines.txt", "\"two\nlines.txt\""},
        {"plain; name.txt", "plain; name.txt"},
    };
    for (const Case& c : cases) {
        Touch(At(c.name));
    }
    ASSERT_TRUE(RecordUntil(tracker, [&] { return tracker.Entries(kTrackAdded).size() == 5; }));
    const QByteArray csv = tracker.CsvText();
    for (const Case& c : cases) {
        EXPECT_TRUE(csv.contains("\r\n" + c.field + ",")) << c.field.constData();
    }
}

TEST_F(DirTrack, StartRefusals) {
    TTrackHelp help(m_host, m_host.Stores());
    help.SetFolder(Root());
    help.SetOptions(kTrackAutoStart | kTrackRecurse);
    EXPECT_EQ(ErrorOf([&] { help.Start(); }), "First select something to track!");
    EXPECT_FALSE(help.Tracking());
    // Storing it clears Auto Start, which cannot start anything.
    help.Save();
    EXPECT_EQ(help.Options(), kTrackRecurse);

    help.SetOptions(kTrackAdditions);
    for (const QString& folder : {QString(), m_dir.Sub("missing")}) {
        help.SetFolder(folder);
        EXPECT_EQ(ErrorOf([&] { help.Start(); }), "First select a valid folder to track");
    }
    for (const QString& own :
         {m_host.LogsFolder(), m_host.LogsFolder().chopped(1), m_host.ProgramFolder()}) {
        help.SetFolder(own);
        EXPECT_EQ(ErrorOf([&] { help.Start(); }),
                  "Quiva application, data & log folders cannot be monitored")
            << qPrintable(own);
        EXPECT_FALSE(help.Tracking());
    }
}

TEST_F(DirTrack, TheProgramsOwnFoldersInsideATrackedTreeAreLeftOut) {
    // The program folder lies inside the tracked tree (as ~/.local/share lies in ~).
    m_dir.MakeDir("tree");
    TTestHost host;
    host.OpenStores(m_dir.Sub("tree/prog"), {.backups = false});
    TTrackHelp help(host, host.Stores());
    help.SetFolder(m_dir.Sub("tree"));
    help.SetOptions(kTrackAdditions | kTrackRecurse);
    help.Start();
    ASSERT_TRUE(help.Tracking());
    Touch(host.LogsFolder() + "own.log");
    Touch(m_dir.Sub("tree/mine.txt"));
    TWatcher& tracker = *help.Tracker();
    ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackAdded, "mine.txt"); }));
    for (const QPair<int, TTrackEntry>& entry : tracker.InOrder()) {
        EXPECT_FALSE(entry.second.name.startsWith("prog")) << qPrintable(entry.second.name);
    }
}

TEST_F(DirTrack, AnOverflowIsAVisibleRowAndTrackingGoesOn) {
    TTrackHelp help(m_host, m_host.Stores());
    help.SetFolder(Root());
    help.SetOptions(kTrackAdditions);
    help.testWatchOptions.overflowAt = 1;
    help.Start();
    Touch(At("lost.txt"));  // its event is the one dropped
    TWatcher& tracker = *help.Tracker();
    ASSERT_TRUE(RecordUntil(tracker, [&] { return !tracker.Entries(kTrackOverflow).isEmpty(); }));
    // The walk after the loss found it all the same, once.
    EXPECT_TRUE(Holds(tracker, kTrackAdded, "lost.txt"));
    EXPECT_EQ(tracker.Entries(kTrackAdded).size(), 1);
    EXPECT_EQ(tracker.Entries(kTrackOverflow)[0].name, Root());
    EXPECT_TRUE(m_host.HasError(QString::fromUtf8(kTrackOverflowMessage).arg(Root())));
    EXPECT_NE(tracker.DisplaySet() & (1u << kTrackOverflow), 0u);
    const QByteArray csv = tracker.CsvText();
    EXPECT_TRUE(csv.contains("\r\n" + Root().toUtf8() + ",")) << csv.constData();
    EXPECT_TRUE(csv.contains(",Overflow\r\n")) << csv.constData();

    Touch(At("after.txt"));
    ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackAdded, "after.txt"); }));
    EXPECT_TRUE(help.Tracking());
}

TEST_F(DirTrack, TheWatchLimitStopsTrackingWithAPlainMessage) {
    m_dir.MakeDir("watched/a");
    TTrackHelp help(m_host, m_host.Stores());
    help.SetFolder(Root());
    help.SetOptions(kTrackAdditions | kTrackRecurse | kTrackAutoSave);
    help.testWatchOptions.watchLimit = 1;
    EXPECT_EQ(ErrorOf([&] { help.Start(); }),
              TFolderWatcher::TooManyFoldersText(Root() + "/", 2, 1, 0));
    EXPECT_FALSE(help.Tracking());

    help.testWatchOptions.watchLimit = 2;
    help.Start();
    Touch(At("first.txt"));
    ASSERT_TRUE(RecordUntil(*help.Tracker(),
                            [&] { return Holds(*help.Tracker(), kTrackAdded, "first.txt"); }));
    ASSERT_TRUE(QDir().mkdir(At("b")));  // one folder too many
    QElapsedTimer clock;
    clock.start();
    while (help.Tracking() && clock.elapsed() < kWaitMs) {
        (void)help.Tracker()->WaitForBlock(100);
        (void)help.WhenIdle();
    }
    EXPECT_FALSE(help.Tracking());
    EXPECT_TRUE(m_host.HasError(TFolderWatcher::WatchLimitText()));
    EXPECT_TRUE(TFolderWatcher::WatchLimitText().contains("fs.inotify.max_user_watches"));
    // It stopped cleanly: Auto Save kept the record.
    EXPECT_EQ(CsvFiles(m_host.LogsFolder()).size(), 1);
}

TEST_F(DirTrack, StoredSettingsAndAutoStart) {
    {
        TTrackHelp help(m_host, m_host.Stores());
        EXPECT_EQ(help.Folder(), QDir::homePath() + "/");
        EXPECT_EQ(help.Options(), kTrackDefaultOptions);
        EXPECT_EQ(help.ClearAt(), 100);
        help.SetFolder(Root());
        help.SetOptions(kTrackAdditions | kTrackAutoStart | kTrackAutoSave);
        help.SetClearAt(250);
        help.Save();
    }
    const std::optional<QByteArray> stored = LoadToolText(m_host.Stores(), "DirTrack");
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, Root().toUtf8() + "|97|250|");

    TTrackHelp help(m_host, m_host.Stores());
    help.StartAtLaunch();
    EXPECT_EQ(help.Folder(), Root());
    EXPECT_EQ(help.ClearAt(), 250);
    ASSERT_TRUE(help.Tracking());
    Touch(At("at-launch.txt"));
    ASSERT_TRUE(RecordUntil(*help.Tracker(),
                            [&] { return Holds(*help.Tracker(), kTrackAdded, "at-launch.txt"); }));
    help.Stop();  // Auto Save: the record is written before the tracker goes
    EXPECT_EQ(CsvFiles(m_host.LogsFolder()).size(), 1);

    // A stored folder that is gone loads as empty and Auto Start is cleared; the rest holds.
    SaveToolText(m_host.Stores(), "DirTrack", m_dir.Sub("gone").toUtf8() + "|x|y|");
    TTrackHelp gone(m_host, m_host.Stores());
    gone.StartAtLaunch();
    EXPECT_EQ(gone.Folder(), QString());
    EXPECT_EQ(gone.Options(), 0);
    EXPECT_EQ(gone.ClearAt(), 100);
    EXPECT_FALSE(gone.Tracking());
    // A start that fails at launch is ignored.
    SaveToolText(m_host.Stores(), "DirTrack", Root().toUtf8() + "|32|100|");
    TTrackHelp failing(m_host, m_host.Stores());
    failing.StartAtLaunch();
    EXPECT_FALSE(failing.Tracking());
    // The wrong field count keeps the defaults.
    SaveToolText(m_host.Stores(), "DirTrack", Root().toUtf8() + "|1|100|9|");
    TTrackHelp wrong(m_host, m_host.Stores());
    wrong.Load();
    EXPECT_EQ(wrong.Options(), kTrackDefaultOptions);
}

TEST_F(DirTrack, ARecordWhoseAutoSaveFailedIsKept) {
    TTrackStart start = Start(kTrackAdditions | kTrackAutoSave, 10);
    start.logsFolder = m_dir.Write("not-a-folder", "x");  // no CSV file can go there
    TWatcher tracker(&m_host, start);
    for (int i = 0; i < 10; ++i) {
        Touch(At(QStringLiteral("f%1").arg(i)));
    }
    ASSERT_TRUE(RecordUntil(tracker, [&] { return tracker.Sequence().size() >= 10; }));
    EXPECT_EQ(tracker.Entries(kTrackAdded).size(), 10);
    EXPECT_TRUE(m_host.HasError("Could not write " + start.logsFolder + "/"));
}

TEST_F(DirTrack, ReadingAFileIsNotAChange) {
    m_dir.Write("watched/read-me.txt", "content");
    TWatcher tracker(&m_host, Start(kTrackPropertyChanges | kTrackAdditions));
    EXPECT_EQ(m_dir.Read("watched/read-me.txt"), "content");
    Touch(At("marker"));
    ASSERT_TRUE(RecordUntil(tracker, [&] { return Holds(tracker, kTrackAdded, "marker"); }));
    EXPECT_FALSE(Holds(tracker, kTrackModified, "read-me.txt"));
}

}  // namespace
